#include "tarnwick-device/DeviceArguments.h"

#include <charconv>
#include <set>

namespace tarnwick {

namespace {

using Command = DeviceArguments::Command;

std::optional<Command> commandNamed(const std::string& name) {
    if (name == "discover") {
        return Command::discover;
    }
    if (name == "pair") {
        return Command::pair;
    }
    if (name == "call") {
        return Command::call;
    }
    if (name == "watch") {
        return Command::watch;
    }
    if (name == "chat") {
        return Command::chat;
    }
    if (name == "answer") {
        return Command::answer;
    }
    return std::nullopt;
}

// Which options each command takes, beyond --help.
bool takesOption(Command command, const std::string& option) {
    static const std::set<std::string> everywhere{"--name", "--json"};
    if (everywhere.count(option)) {
        return command != Command::discover || option == "--json";
    }
    if (option == "--bridge") {
        return command == Command::call || command == Command::watch || command == Command::chat ||
               command == Command::answer;
    }
    if (option == "--cwd" || option == "--approval-policy") {
        return command == Command::chat;
    }
    if (option == "--decline-all") {
        return command == Command::watch || command == Command::chat;
    }
    if (option == "--replace") {
        return command == Command::pair;
    }
    if (option == "--browse") {
        return command == Command::discover || command == Command::pair;
    }
    return false;
}

} // namespace

Expected<DeviceArguments, std::string>
DeviceArguments::parse(const std::vector<std::string>& arguments) {
    DeviceArguments parsed;
    std::vector<std::string> positional;
    bool onlyPositional = false;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (onlyPositional || argument.empty() || argument[0] != '-' || argument == "-") {
            if (parsed.command == Command::none && positional.empty()) {
                if (argument == "help") {
                    parsed.help = true;
                    continue;
                }
                auto command = commandNamed(argument);
                if (!command) {
                    return Unexpected("Unknown command \"" + argument + "\".");
                }
                parsed.command = *command;
                continue;
            }
            positional.push_back(argument);
            continue;
        }
        if (argument == "--") {
            onlyPositional = true;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            parsed.help = true;
            continue;
        }
        std::string option = argument;
        std::optional<std::string> inlineValue;
        if (auto equals = argument.find('='); equals != std::string::npos) {
            option = argument.substr(0, equals);
            inlineValue = argument.substr(equals + 1);
        }
        if (parsed.command == Command::none || !takesOption(parsed.command, option)) {
            return Unexpected("Unknown option \"" + option + "\" here.");
        }
        const bool needsValue = option == "--name" || option == "--bridge" ||
                                option == "--browse" || option == "--cwd" ||
                                option == "--approval-policy";
        if (!needsValue) {
            if (inlineValue) {
                return Unexpected("The option " + option + " takes no value.");
            }
            parsed.json = parsed.json || option == "--json";
            parsed.declineAll = parsed.declineAll || option == "--decline-all";
            parsed.replace = parsed.replace || option == "--replace";
            continue;
        }
        if (!inlineValue) {
            if (index + 1 >= arguments.size()) {
                return Unexpected("The option " + option + " needs a value.");
            }
            inlineValue = arguments[++index];
        }
        if (option == "--name") {
            if (inlineValue->empty()) {
                return Unexpected(std::string("The name must not be empty."));
            }
            parsed.name = *inlineValue;
        } else if (option == "--bridge") {
            parsed.target = *inlineValue;
        } else if (option == "--cwd") {
            if (inlineValue->empty()) {
                return Unexpected(std::string("The working folder must not be empty."));
            }
            parsed.workingFolder = *inlineValue;
        } else if (option == "--approval-policy") {
            if (inlineValue->empty()) {
                return Unexpected(std::string("The approval policy must not be empty."));
            }
            parsed.approvalPolicy = *inlineValue;
        } else {
            int seconds = 0;
            const char* end = inlineValue->data() + inlineValue->size();
            auto [stop, error] = std::from_chars(inlineValue->data(), end, seconds);
            if (inlineValue->empty() || error != std::errc() || stop != end || seconds < 1 ||
                seconds > 600) {
                return Unexpected("The browse time must be a number of seconds from 1 to 600.");
            }
            parsed.browseSeconds = seconds;
        }
    }
    if (parsed.help) {
        return parsed;
    }
    const auto tooMany = [&](std::size_t allowed) { return positional.size() > allowed; };
    switch (parsed.command) {
    case Command::none:
        return Unexpected(
            std::string("Name a command: discover, pair, call, watch, chat or answer."));
    case Command::discover:
    case Command::watch:
        if (tooMany(0)) {
            return Unexpected("Unexpected argument \"" + positional[0] + "\".");
        }
        break;
    case Command::pair:
        if (tooMany(1)) {
            return Unexpected("Unexpected argument \"" + positional[1] + "\".");
        }
        if (!positional.empty()) {
            parsed.target = positional[0];
        }
        break;
    case Command::call:
        if (positional.empty()) {
            return Unexpected(std::string("Name the method to call."));
        }
        if (tooMany(2)) {
            return Unexpected("Unexpected argument \"" + positional[2] + "\".");
        }
        parsed.method = positional[0];
        if (positional.size() == 2) {
            parsed.params = positional[1];
        }
        break;
    case Command::chat:
        if (tooMany(1)) {
            return Unexpected("Unexpected argument \"" + positional[1] + "\".");
        }
        if (!positional.empty()) {
            parsed.thread = positional[0];
        }
        break;
    case Command::answer:
        if (positional.size() < 2) {
            return Unexpected(std::string("Name the question's id and the decision."));
        }
        if (tooMany(2)) {
            return Unexpected("Unexpected argument \"" + positional[2] + "\".");
        }
        parsed.questionID = positional[0];
        parsed.decision = positional[1];
        break;
    }
    return parsed;
}

std::string usageText(DeviceArguments::Command command) {
    switch (command) {
    case Command::none:
        break;
    case Command::discover:
        return "Usage: tarnwick-device discover [--browse SECONDS] [--json]\n"
               "Lists the bridges found on the local network, one per line: name, address, "
               "port.\n";
    case Command::pair:
        return "Usage: tarnwick-device pair [TARGET] [--name NAME] [--replace] [--browse SECONDS] "
               "[--json]\n"
               "Pairs this device with a bridge. TARGET is a discovered bridge's name or "
               "HOST[:PORT];\nwithout it, the only bridge found on the local network. Compare the "
               "code shown with the\none the bridge shows and accept there. --replace pairs "
               "again with a bridge whose key\nor certificate key has changed.\n";
    case Command::call:
        return "Usage: tarnwick-device call METHOD [PARAMS-JSON] [--bridge HOST[:PORT]] [--name "
               "NAME]\n"
               "Sends one request to the paired bridge and prints the result as JSON; an error "
               "goes to\nstandard error with a non-zero exit status.\n";
    case Command::watch:
        return "Usage: tarnwick-device watch [--decline-all] [--bridge HOST[:PORT]] [--name "
               "NAME]\n"
               "Prints every event and approval question from the bridge as one JSON line, and "
               "asks\nabout each approval on the terminal with the answers Codex offers (y "
               "approves,\nn declines, c stops the turn).\n";
    case Command::chat:
        return "Usage: tarnwick-device chat [THREAD] [--cwd FOLDER] [--approval-policy POLICY]\n"
               "                            [--decline-all] [--bridge HOST[:PORT]] [--name "
               "NAME]\n"
               "Starts a thread (or resumes THREAD), sends each line of standard input as a turn "
               "and\nprints the agent's answer as it arrives. Ctrl-C interrupts the running "
               "turn.\n--cwd sets the folder the thread works in on the bridge's computer; "
               "--approval-policy\nsets when Codex asks before it acts (untrusted, on-request, "
               "never).\nThe bridge's computer sets the most a device may ask for (its "
               "\"tarnwick-bridge ceiling\"):\nby default workspace-write, no network, folders in "
               "its home, and never \"never\";\nwhat goes beyond it is refused with the reason.\n";
    case Command::answer:
        return "Usage: tarnwick-device answer QUESTION-ID DECISION [--bridge HOST[:PORT]] [--name "
               "NAME]\n"
               "Answers an approval question that watch printed, from any paired device, "
               "also after\nthe device that was asked has gone. DECISION is a word such as "
               "accept, decline or\ncancel, or a JSON value. The bridge does not say whether "
               "the question was still open.\n";
    }
    return "Usage: tarnwick-device COMMAND [OPTIONS]\n"
           "Drives Codex on another computer through its Tarnwick bridge.\n\n"
           "Commands:\n"
           "  discover            list the bridges on the local network\n"
           "  pair [TARGET]       pair this device with a bridge\n"
           "  call METHOD [JSON]  send one request and print the result\n"
           "  watch               print events and answer approval questions\n"
           "  chat [THREAD]       talk to Codex in a thread\n"
           "  answer ID DECISION  answer an approval question\n\n"
           "Run tarnwick-device COMMAND --help for a command's options.\n"
           "Exit status: 0 done, 1 refused or failed, 2 bad usage, 3 no bridge reached,\n"
           "4 not paired, pairing rejected or this device forgotten by the bridge,\n"
           "5 the bridge went away or another session of this device took this one's place,\n"
           "6 the bridge's key changed or it did not prove who it is.\n";
}

} // namespace tarnwick
