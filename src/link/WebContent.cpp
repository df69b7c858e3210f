#include "link/WebContent.h"

#include <openssl/evp.h>

#include <array>
#include <memory>

namespace tarnwick {

namespace {

constexpr std::string_view indexName = "index.html";
// The service worker's scope is the folder of its script, so it sits at the top.
constexpr std::string_view workerName = "sw.js";
constexpr std::array<std::string_view, 2> stableNames{"manifest.webmanifest", "icon.svg"};

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

std::string buildOf(const std::map<std::string, std::string>& files) {
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    for (const auto& [name, bytes] : files) {
        // Name, NUL, length, NUL, bytes: no two different sets of files hash the same text.
        const std::string prefix = name + '\0' + std::to_string(bytes.size()) + '\0';
        EVP_DigestUpdate(context.get(), prefix.data(), prefix.size());
        EVP_DigestUpdate(context.get(), bytes.data(), bytes.size());
    }
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest.data(), &length);
    static constexpr std::string_view hex = "0123456789abcdef";
    std::string build;
    for (std::size_t i = 0; i < WebContent::buildDigits / 2; ++i) {
        build += hex[digest[i] >> 4];
        build += hex[digest[i] & 0xF];
    }
    return build;
}

std::string replacedAll(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

} // namespace

std::string_view webContentType(std::string_view name) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 5> types{{
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".webmanifest", "application/manifest+json"},
        {".svg", "image/svg+xml"},
    }};
    for (const auto& [extension, type] : types) {
        if (endsWith(name, extension)) {
            return type;
        }
    }
    return {};
}

WebContent WebContent::assemble(const std::map<std::string, std::string>& files,
                                std::vector<std::string>* skipped) {
    WebContent content;
    std::map<std::string, std::string> served;
    for (const auto& [name, bytes] : files) {
        if (webContentType(name).empty()) {
            if (skipped) {
                skipped->push_back(name);
            }
            continue;
        }
        served.emplace(name, bytes);
    }
    content.build_ = buildOf(served);
    for (const auto& [name, bytes] : served) {
        const std::string type(webContentType(name));
        if (name == indexName) {
            const std::string page = replacedAll(bytes, buildPlaceholder, content.build_);
            content.add("/", {page, type, WebCaching::noStore});
            // The page opens on the step that makes this phone verify the computer.
            content.add("/trust", {page, type, WebCaching::noStore});
            continue;
        }
        if (name == workerName) {
            // Its bytes name the build, so a new build is a new worker.
            content.add("/" + name, {replacedAll(bytes, buildPlaceholder, content.build_), type,
                                     WebCaching::noCache});
            continue;
        }
        content.add("/assets/" + content.build_ + "/" + name, {bytes, type, WebCaching::immutable});
        for (std::string_view stable : stableNames) {
            if (name == stable) {
                content.add("/" + name, {bytes, type, WebCaching::noCache});
            }
        }
    }
    return content;
}

void WebContent::add(std::string path, WebFile file) {
    files_.insert_or_assign(std::move(path), std::move(file));
}

const WebFile* WebContent::find(std::string_view path) const {
    const auto found = files_.find(path);
    return found == files_.end() ? nullptr : &found->second;
}

} // namespace tarnwick
