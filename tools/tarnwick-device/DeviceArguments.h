#pragma once

#include "platform/Expected.h"

#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

// What the user asked tarnwick-device to do, read from its command line.
struct DeviceArguments {
    enum class Command { none, discover, pair, call, watch, chat, answer };

    Command command = Command::none;
    bool help = false;
    // Output for scripts: JSON instead of text where the command has both.
    bool json = false;
    // The display name toward the bridge; the computer's name when absent.
    std::optional<std::string> name;
    // pair: a discovered bridge's name or HOST[:PORT]. call, watch, chat and answer: --bridge.
    std::optional<std::string> target;
    // call: the method and its params as JSON text.
    std::string method;
    std::optional<std::string> params;
    // chat: the thread to resume.
    std::optional<std::string> thread;
    // chat: the working folder and approval policy for the thread's turns, when given.
    std::optional<std::string> workingFolder;
    std::optional<std::string> approvalPolicy;
    // answer: the approval question's id and the decision, a word or JSON.
    std::string questionID;
    std::string decision;
    // watch and chat: answer every approval question with "decline".
    bool declineAll = false;
    // pair: pair again with a bridge that now shows another key.
    bool replace = false;
    // discover and pair: how long to browse, in seconds.
    int browseSeconds = 3;

    // Reads the arguments after the program name. The error is a one-line text for people.
    static Expected<DeviceArguments, std::string> parse(const std::vector<std::string>& arguments);
};

// The help text of one command, or of the program for Command::none.
std::string usageText(DeviceArguments::Command command);

} // namespace tarnwick
