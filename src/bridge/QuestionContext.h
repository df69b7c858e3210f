#pragma once

#include "bridge/OpenQuestions.h"
#include "json/JSONText.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick {

// What the person is told about a question that waits for a paired device to come back.
struct WaitingQuestion {
    std::string bridgeID;
    std::string method;
    std::string threadID;
    // From Codex's params; empty when it gave none.
    std::string cwd;
    // The command, as Codex gave it (for a command question that names one).
    std::optional<std::string> command;
    // For a file-change question: the files its item announced (the question itself names
    // none).
    std::vector<std::string> files;
    // What it is about, made visible and bounded for people: `the command "ls"`, "the file
    // changes".
    std::string shown;
};

// What Codex says around its approval questions: the working folder of each thread and the
// files of each file-change item, learnt from its notifications, and how a question is
// described to people. Keeps the newest maxRemembered threads and items. Main thread only.
class QuestionContext {
public:
    static constexpr std::string_view commandMethod = "item/commandExecution/requestApproval";
    static constexpr std::size_t maxRemembered = 64;
    static constexpr std::size_t maxFiles = 32;

    // Learns from thread/started and from item/started of a file change; other notifications
    // are not looked into.
    void observe(const std::string& method, const JSONText& params);
    void rememberFolder(const std::string& threadID, const std::string& cwd);
    std::string folderOf(const std::string& threadID) const;
    WaitingQuestion describe(const OpenQuestion& question) const;

    // `the command "…"` (Codex's text made visible and cut as device names are), or "the file
    // changes".
    static std::string shownWhat(const OpenQuestion& question);
    // The text member `key` of an object; "" when there is none.
    static std::string textOf(const JSONValue& value, std::string_view key);

private:
    void rememberFiles(const JSONText& params);

    std::vector<std::pair<std::string, std::string>> threadFolders_;
    std::vector<std::pair<std::string, std::vector<std::string>>> itemFiles_;
};

} // namespace tarnwick
