#include "ModelScript.h"

namespace tarnwick {

namespace {

const std::string* textAt(const JSONValue& value, std::string_view key) {
    const JSONValue* member = value.member(key);
    return member ? member->stringValue() : nullptr;
}

bool isCallOutput(const JSONValue& item) {
    const std::string* type = textAt(item, "type");
    return type && (*type == "function_call_output" || *type == "custom_tool_call_output");
}

const JSONValue* toolNamed(const JSONValue& tools, std::string_view name) {
    if (!tools.arrayValue()) {
        return nullptr;
    }
    for (const JSONValue& tool : *tools.arrayValue()) {
        if (const std::string* toolName = textAt(tool, "name"); toolName && *toolName == name) {
            return &tool;
        }
    }
    return nullptr;
}

bool takesParameter(const JSONValue& tool, std::string_view name) {
    const JSONValue* parameters = tool.member("parameters");
    const JSONValue* properties = parameters ? parameters->member("properties") : nullptr;
    return properties && properties->member(name);
}

JSONValue message(const std::string& id, const std::string& text) {
    return JSONObject{
        {"type", "message"},
        {"role", "assistant"},
        {"id", id},
        {"content", JSONArray{JSONObject{{"type", "output_text"}, {"text", text}}}},
    };
}

} // namespace

ModelScript::ModelScript(ModelScriptOptions options) : options_(std::move(options)) {}

std::optional<JSONValue> ModelScript::commandCall(const JSONValue& tools,
                                                  const std::string& callID) const {
    if (!options_.command) {
        return std::nullopt;
    }
    const std::string& command = *options_.command;
    std::string name;
    JSONObject arguments;
    if (const JSONValue* exec = toolNamed(tools, "exec_command")) {
        name = "exec_command";
        arguments.set("cmd", command);
        if (options_.reason && takesParameter(*exec, "justification") &&
            takesParameter(*exec, "sandbox_permissions")) {
            arguments.set("sandbox_permissions", "require_escalated");
            arguments.set("justification", *options_.reason);
        }
    } else if (toolNamed(tools, "shell_command")) {
        name = "shell_command";
        arguments.set("command", command);
    } else if (toolNamed(tools, "shell")) {
        name = "shell";
        arguments.set("command", JSONArray{"bash", "-lc", command});
    } else {
        return std::nullopt;
    }
    if (options_.reason && name != "exec_command") {
        arguments.set("justification", *options_.reason);
    }
    auto encoded = JSONValue(std::move(arguments)).encode();
    return JSONValue(JSONObject{
        {"type", "function_call"},
        {"id", "fc_" + callID},
        {"call_id", callID},
        {"name", name},
        {"arguments", encoded ? *encoded : std::string("{}")},
    });
}

std::string ModelScript::answer(const JSONValue& request) {
    const std::string serial = std::to_string(nextID_++);
    const JSONValue* input = request.member("input");
    const bool commandRan = input && input->arrayValue() && !input->arrayValue()->empty() &&
                            isCallOutput(input->arrayValue()->back());
    std::optional<JSONValue> item;
    if (!commandRan) {
        const JSONValue* tools = request.member("tools");
        item = commandCall(tools ? *tools : JSONValue(), "call_" + serial);
        if (!item && options_.command) {
            item = message("msg_" + serial, "No shell tool was offered, so nothing was run.");
        }
    }
    if (!item) {
        item = message("msg_" + serial, options_.reply);
    }
    const JSONValue usage = JSONObject{
        {"input_tokens", 1},  {"input_tokens_details", nullptr},
        {"output_tokens", 1}, {"output_tokens_details", nullptr},
        {"total_tokens", 2},
    };
    std::string events;
    // A message is streamed the way a model streams it: announced, in pieces, then whole.
    if (textAt(*item, "type") && *textAt(*item, "type") == "message") {
        JSONObject announced = *item->objectValue();
        announced.set("content", JSONArray{});
        events += serverSentEvent(JSONObject{{"type", "response.output_item.added"},
                                             {"output_index", 0},
                                             {"item", JSONValue(std::move(announced))}});
        const JSONValue& text = (*item->member("content")->arrayValue())[0];
        events += serverSentEvent(JSONObject{{"type", "response.output_text.delta"},
                                             {"item_id", *textAt(*item, "id")},
                                             {"output_index", 0},
                                             {"content_index", 0},
                                             {"delta", *textAt(text, "text")}});
    }
    events += serverSentEvent(
        JSONObject{{"type", "response.output_item.done"}, {"output_index", 0}, {"item", *item}});
    events += serverSentEvent(JSONObject{
        {"type", "response.completed"},
        {"response", JSONObject{{"id", "resp_" + serial}, {"usage", usage}}},
    });
    return events;
}

std::string serverSentEvent(const JSONValue& event) {
    const std::string* type = textAt(event, "type");
    auto data = event.encode();
    return "event: " + (type ? *type : std::string("message")) +
           "\ndata: " + (data ? *data : std::string("{}")) + "\n\n";
}

} // namespace tarnwick
