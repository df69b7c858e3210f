#include "bridge/QuestionContext.h"

#include "bridge/DeviceText.h"
#include "bridge/ShownNames.h"

#include <algorithm>

namespace tarnwick {

namespace {

// Codex's command as the notify command gets it: whole, unless it is absurdly long.
constexpr std::size_t maxCommandBytes = 4096;
constexpr std::size_t maxPathBytes = 1024;

std::optional<std::string> commandOf(const OpenQuestion& question) {
    if (question.method != QuestionContext::commandMethod) {
        return std::nullopt;
    }
    const JSONValue params = question.params.value();
    const JSONValue* command = params.member("command");
    if (!command || !command->stringValue()) {
        return std::nullopt;
    }
    return boundedDeviceText(*command->stringValue(), maxCommandBytes);
}

// Codex's text goes into log lines and notifications as device names do: cut, and spelled
// out when it hides characters (a bidirectional override) or holds a control (a line break)
// that could fake a line of its own.
std::string visibleText(std::string_view text) {
    std::string shown = ShownNames().show(text);
    const QString asShown = QString::fromStdString(shown);
    const bool controls = std::any_of(asShown.begin(), asShown.end(),
                                      [](QChar c) { return c.category() == QChar::Other_Control; });
    return controls ? ShownNames::escaped(asShown).toStdString() : shown;
}

template <typename Value>
void remember(std::vector<std::pair<std::string, Value>>& table, const std::string& key,
              Value value) {
    std::erase_if(table, [&](const auto& entry) { return entry.first == key; });
    table.emplace_back(key, std::move(value));
    if (table.size() > QuestionContext::maxRemembered) {
        table.erase(table.begin());
    }
}

} // namespace

std::string QuestionContext::textOf(const JSONValue& value, std::string_view key) {
    const JSONValue* member = value.member(key);
    return member && member->stringValue() ? *member->stringValue() : std::string();
}

std::string QuestionContext::shownWhat(const OpenQuestion& question) {
    if (question.method != commandMethod) {
        return "the file changes";
    }
    const std::optional<std::string> command = commandOf(question);
    return command ? "the command \"" + visibleText(*command) + "\"" : "the command";
}

void QuestionContext::observe(const std::string& method, const JSONText& params) {
    // A cheap look first: most items are not file changes, and some are large.
    if (method == "item/started" &&
        params.text().find("\"fileChange\"") != std::string_view::npos) {
        rememberFiles(params);
    } else if (method == "thread/started") {
        const JSONValue tree = params.value();
        if (const JSONValue* thread = tree.member("thread")) {
            rememberFolder(textOf(*thread, "id"), textOf(*thread, "cwd"));
        }
    }
}

void QuestionContext::rememberFolder(const std::string& threadID, const std::string& cwd) {
    if (!threadID.empty() && !cwd.empty()) {
        remember(threadFolders_, threadID, cwd);
    }
}

std::string QuestionContext::folderOf(const std::string& threadID) const {
    auto found = std::find_if(threadFolders_.begin(), threadFolders_.end(),
                              [&](const auto& entry) { return entry.first == threadID; });
    return found == threadFolders_.end() ? std::string() : found->second;
}

void QuestionContext::rememberFiles(const JSONText& params) {
    const JSONValue tree = params.value();
    const JSONValue* item = tree.member("item");
    const JSONValue* changes = item ? item->member("changes") : nullptr;
    if (!item || textOf(*item, "type") != "fileChange" || !changes || !changes->arrayValue()) {
        return;
    }
    std::vector<std::string> files;
    for (const JSONValue& change : *changes->arrayValue()) {
        if (const std::string path = textOf(change, "path");
            !path.empty() && files.size() < maxFiles) {
            files.push_back(boundedDeviceText(path, maxPathBytes));
        }
    }
    remember(itemFiles_, textOf(*item, "id"), std::move(files));
}

WaitingQuestion QuestionContext::describe(const OpenQuestion& question) const {
    const JSONValue params = question.params.value();
    WaitingQuestion waiting;
    waiting.bridgeID = question.bridgeID;
    waiting.method = question.method;
    waiting.threadID = question.threadID;
    waiting.cwd = textOf(params, "cwd");
    waiting.command = commandOf(question);
    waiting.shown = shownWhat(question);
    if (question.method != commandMethod) {
        const std::string itemID = textOf(params, "itemId");
        for (const auto& [item, files] : itemFiles_) {
            if (item == itemID) {
                waiting.files = files;
            }
        }
    }
    return waiting;
}

} // namespace tarnwick
