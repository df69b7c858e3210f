#include "bridge/CeilingFolders.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <utility>

namespace tarnwick {

CeilingFolders::CeilingFolders(CanonicalFolder canonical, std::string codexFolder, std::string home)
    : canonical_(std::move(canonical)), codexFolder_(std::move(codexFolder)),
      home_(canonical_(home).value_or("")) {}

std::string CeilingFolders::rootsText(const DeviceCeiling& ceiling) {
    if (ceiling.roots.empty()) {
        return "This computer lets devices work in no folder.";
    }
    std::string text = "This computer lets devices work only in ";
    for (std::size_t i = 0; i < ceiling.roots.size(); ++i) {
        text += (i == 0 ? "" : ", ") + ceiling.roots[i];
    }
    return text + " and the folders in them, not in dot-folders" +
           (ceiling.sandbox == SandboxLevel::workspaceWrite
                ? ", nor in the home folder itself, whose dot files workspace-write would open."
                : ".");
}

Expected<std::string, CeilingRefusal> CeilingFolders::within(std::string_view setting,
                                                             const JSONValue& value,
                                                             const DeviceCeiling& ceiling) const {
    const std::string* path = value.stringValue();
    if (!path || !path->starts_with('/')) {
        return Unexpected(CeilingRefusal::of(std::string(setting), value,
                                             "A folder must be given as an absolute path."));
    }
    auto real = canonical_(*path);
    if (!real) {
        return Unexpected(CeilingRefusal::of(std::string(setting), value,
                                             "There is no folder " + CeilingRefusal::quoted(*path) +
                                                 " on this computer."));
    }
    if (!allowsCanonical(*real, ceiling)) {
        return Unexpected(CeilingRefusal::of(std::string(setting), value, rootsText(ceiling)));
    }
    return *real;
}

bool CeilingFolders::allows(std::string_view path, const DeviceCeiling& ceiling) const {
    return allowsCanonical(canonical_(path).value_or(""), ceiling);
}

Expected<std::optional<std::string>, CeilingRefusal>
CeilingFolders::forThreadWithoutFolder(const DeviceCeiling& ceiling) const {
    if (allows(codexFolder_, ceiling)) {
        return std::optional<std::string>();
    }
    // Codex would work in its own folder, outside the roots: the first root that is there
    // instead.
    for (const std::string& root : ceiling.roots) {
        if (auto real = canonical_(root); real && allowsCanonical(*real, ceiling)) {
            return std::optional<std::string>(std::move(*real));
        }
    }
    return Unexpected(CeilingRefusal{"cwd", "(none)", rootsText(ceiling)});
}

bool CeilingFolders::allowsCanonical(std::string_view canonicalPath,
                                     const DeviceCeiling& ceiling) const {
    // Writing in the home folder itself is writing its dot files (~/.bashrc, ~/.ssh): only the
    // read-only ceiling, or one that allows everything anyway, lets a device work there.
    if (canonicalPath.empty() ||
        (canonicalPath == home_ && ceiling.sandbox == SandboxLevel::workspaceWrite)) {
        return false;
    }
    return std::any_of(ceiling.roots.begin(), ceiling.roots.end(), [&](const std::string& root) {
        auto realRoot = canonical_(root);
        if (!realRoot || !folderIsWithin(canonicalPath, *realRoot)) {
            return false;
        }
        std::string_view below =
            canonicalPath.substr(std::min(canonicalPath.size(), realRoot->size()));
        // Every part below the root: none may begin with a dot (~/.ssh, ~/.config, ~/.codex).
        for (std::size_t at = 0; at < below.size();) {
            at = below.find_first_not_of('/', at);
            if (at == std::string_view::npos) {
                break;
            }
            if (below[at] == '.') {
                return false;
            }
            at = below.find('/', at);
        }
        return true;
    });
}

std::optional<std::string> canonicalFolderOnDisk(std::string_view path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(std::string(path).c_str(), nullptr),
                                                     &std::free);
    struct stat info {};
    if (!real || ::stat(real.get(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return std::nullopt;
    }
    return std::string(real.get());
}

} // namespace tarnwick
