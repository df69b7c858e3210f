// Decode and encode throughput of JSONValue on (a) one large app-server-like result and (b) many
// notification lines, beside nlohmann/json building the same trees, plus the peak heap used while
// decoding (a).
#include "json/JSONDecoder.h"
#include "json/JSONValue.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

using tarnwick::JSONArray;
using tarnwick::JSONDecoder;
using tarnwick::JSONObject;
using tarnwick::JSONValue;

// ---------------------------------------------------------------------------------------------
// Heap accounting for the peak-memory figure. Counting only; allocation itself is unchanged.

namespace {
std::atomic<std::size_t> liveBytes{0};
std::atomic<std::size_t> peakBytes{0};

void noteAllocation(std::size_t size) {
    std::size_t now = liveBytes.fetch_add(size) + size;
    std::size_t peak = peakBytes.load();
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
    }
}
} // namespace

void* operator new(std::size_t size) {
    void* block = std::malloc(size + 16);
    if (!block) {
        throw std::bad_alloc();
    }
    *static_cast<std::size_t*>(block) = size;
    noteAllocation(size);
    return static_cast<char*>(block) + 16;
}
void operator delete(void* pointer) noexcept {
    if (!pointer) {
        return;
    }
    void* block = static_cast<char*>(pointer) - 16;
    liveBytes.fetch_sub(*static_cast<std::size_t*>(block));
    std::free(block);
}
void operator delete(void* pointer, std::size_t) noexcept {
    operator delete(pointer);
}

// ---------------------------------------------------------------------------------------------
// Inputs

namespace {

// Text shaped like what Codex sends: lines of code and prose, each ended by an escaped line
// feed, with quoted names, tabs, paths, and a non-ASCII word now and then. Written with JSON
// escapes; it goes through the decoder once to become the text itself.
std::string randomText(std::mt19937& random, std::size_t length) {
    static const char* words[] = {
        "let",
        "fn",
        "return",
        "self.items",
        "Vec<String>",
        "=>",
        "if",
        "else",
        "match",
        "Ok(())",
        "error:",
        "warning:",
        "cargo",
        "build",
        "the",
        "request",
        "failed",
        "because",
        "value",
        "{",
        "}",
        "(x)",
        "0x1f",
        "42",
        "\\\"name\\\"",
        "src/main.rs",
        "\\t",
        "->",
        "caf\xC3\xA9",
        "na\xC3\xAFve",
        "\xE2\x86\x92",
        "\xE2\x9C\x93",
        "\xF0\x9F\x98\x80",
    };
    constexpr std::size_t asciiWords = 28;
    std::string text;
    std::size_t lineLength = 0;
    while (text.size() < length) {
        // One word in about fifteen is non-ASCII.
        std::size_t index = random() % 15 == 0 ? asciiWords + random() % 5 : random() % asciiWords;
        text += words[index];
        lineLength += std::strlen(words[index]) + 1;
        if (lineLength > 40 + random() % 40) {
            text += "\\n";
            lineLength = 0;
        } else {
            text += ' ';
        }
    }
    return text;
}

JSONValue makeItem(std::mt19937& random, int id) {
    JSONArray numbers;
    for (int i = 0; i < 8; ++i) {
        numbers.push_back(JSONValue(static_cast<double>(random() % 100000) / 7.0));
        numbers.push_back(JSONValue(static_cast<int>(random() % 1000000)));
    }
    JSONObject item;
    item.set("id", JSONValue("item-" + std::to_string(id)));
    item.set("type", JSONValue(id % 3 == 0 ? "agentMessage" : "commandExecution"));
    item.set("text", JSONValue(std::string()));
    item.set("numbers", JSONValue(std::move(numbers)));
    item.set("ok", JSONValue(id % 2 == 0));
    item.set("meta", JSONValue(JSONObject{{"cwd", "/home/user/project"},
                                          {"exitCode", 0},
                                          {"durationMs", 1234.5},
                                          {"parent", nullptr}}));
    return item;
}

// About 8 MB: a thread read result with many turns of items, long texts with escapes and
// non-ASCII characters, and many numbers.
std::string makeLargeResult() {
    std::mt19937 random(7);
    JSONArray turns;
    std::size_t approximate = 0;
    int id = 0;
    while (approximate < 8'000'000) {
        JSONArray items;
        for (int i = 0; i < 20; ++i) {
            JSONValue item = makeItem(random, id++);
            std::string text = randomText(random, 200 + random() % 1800);
            approximate += text.size() + 400;
            // The escapes in randomText are already JSON escapes: decode them through a string.
            auto decodedText = JSONValue::decode("\"" + text + "\"");
            item.objectValue()->set("text", decodedText ? *decodedText : JSONValue(text));
            items.push_back(std::move(item));
        }
        turns.push_back(JSONValue(JSONObject{{"id", "turn-" + std::to_string(id)},
                                             {"status", "completed"},
                                             {"items", JSONValue(std::move(items))}}));
    }
    JSONValue result = JSONObject{{"thread", JSONObject{{"id", "0199a7c2-1234"},
                                                        {"preview", "Fix the build"},
                                                        {"createdAt", 1765000000},
                                                        {"turns", JSONValue(std::move(turns))}}}};
    return *result.encode();
}

// 100,000 notification lines of about 300 bytes.
std::vector<std::string> makeNotificationLines() {
    std::mt19937 random(11);
    std::vector<std::string> lines;
    lines.reserve(100'000);
    for (int i = 0; i < 100'000; ++i) {
        JSONValue params = JSONObject{
            {"threadId", "0199a7c2-5b1e-7d90-a1c3-0f2e4d6b8a90"},
            {"turnId", std::to_string(1000 + i % 50)},
            {"itemId", "item-" + std::to_string(i)},
            {"delta", randomText(random, 140)},
            {"seq", i},
        };
        JSONValue message = JSONObject{{"method", "item/agentMessage/delta"}, {"params", params}};
        lines.push_back(*message.encode());
    }
    return lines;
}

const std::string& largeResult() {
    static const std::string text = makeLargeResult();
    return text;
}

const std::vector<std::string>& notificationLines() {
    static const std::vector<std::string> lines = makeNotificationLines();
    return lines;
}

std::size_t totalSize(const std::vector<std::string>& lines) {
    std::size_t total = 0;
    for (const auto& line : lines) {
        total += line.size();
    }
    return total;
}

// nlohmann/json's SAX interface building JSONValue trees, the alternative measured beside
// RapidJSON.
class NlohmannTreeBuilder : public nlohmann::json_sax<nlohmann::json> {
public:
    bool null() override { return add(JSONValue()); }
    bool boolean(bool value) override { return add(JSONValue(value)); }
    bool number_integer(number_integer_t value) override { return add(JSONValue(value)); }
    bool number_unsigned(number_unsigned_t value) override { return add(JSONValue(value)); }
    bool number_float(number_float_t value, const string_t&) override {
        return add(JSONValue(value));
    }
    bool string(string_t& value) override { return add(JSONValue(std::move(value))); }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override {
        frames_.push_back({true, {}, {}, {}});
        return true;
    }
    bool key(string_t& value) override {
        frames_.back().key = std::move(value);
        return true;
    }
    bool end_object() override {
        Frame frame = std::move(frames_.back());
        frames_.pop_back();
        return add(JSONValue(JSONObject::fromMembers(std::move(frame.members))));
    }
    bool start_array(std::size_t) override {
        frames_.push_back({false, {}, {}, {}});
        return true;
    }
    bool end_array() override {
        Frame frame = std::move(frames_.back());
        frames_.pop_back();
        return add(JSONValue(std::move(frame.elements)));
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }
    JSONValue root;

private:
    struct Frame {
        bool isObject;
        JSONArray elements;
        std::vector<JSONObject::Member> members;
        std::string key;
    };
    bool add(JSONValue value) {
        if (frames_.empty()) {
            root = std::move(value);
        } else if (frames_.back().isObject) {
            frames_.back().members.emplace_back(std::move(frames_.back().key), std::move(value));
        } else {
            frames_.back().elements.push_back(std::move(value));
        }
        return true;
    }
    std::vector<Frame> frames_;
};

// ---------------------------------------------------------------------------------------------
// Benchmarks

void DecodeLargeResult(benchmark::State& state) {
    const std::string& text = largeResult();
    JSONDecoder decoder;
    for (auto _ : state) {
        auto value = decoder.decode(text);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.counters["input_MB"] = static_cast<double>(text.size()) / 1e6;
}
BENCHMARK(DecodeLargeResult)->Unit(benchmark::kMillisecond);

void EncodeLargeResult(benchmark::State& state) {
    const std::string& text = largeResult();
    JSONValue value = *JSONValue::decode(text);
    std::string out;
    for (auto _ : state) {
        out.clear();
        auto written = value.encodeTo(out);
        benchmark::DoNotOptimize(written);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}
BENCHMARK(EncodeLargeResult)->Unit(benchmark::kMillisecond);

void DecodeLargeResultPeakHeap(benchmark::State& state) {
    const std::string& text = largeResult();
    std::size_t peakAbove = 0;
    for (auto _ : state) {
        std::size_t before = liveBytes.load();
        peakBytes.store(before);
        {
            auto value = JSONValue::decode(text);
            benchmark::DoNotOptimize(value);
        }
        peakAbove = peakBytes.load() - before;
    }
    state.counters["peak_heap_MB"] = static_cast<double>(peakAbove) / 1e6;
    state.counters["peak_per_input_byte"] = static_cast<double>(peakAbove) / text.size();
}
BENCHMARK(DecodeLargeResultPeakHeap)->Unit(benchmark::kMillisecond)->Iterations(3);

void DecodeNotificationLines(benchmark::State& state) {
    const auto& lines = notificationLines();
    JSONDecoder decoder;
    for (auto _ : state) {
        for (const auto& line : lines) {
            auto value = decoder.decode(line);
            benchmark::DoNotOptimize(value);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * totalSize(lines)));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lines.size()));
}
BENCHMARK(DecodeNotificationLines)->Unit(benchmark::kMillisecond);

void EncodeNotificationLines(benchmark::State& state) {
    const auto& lines = notificationLines();
    std::vector<JSONValue> values;
    for (const auto& line : lines) {
        values.push_back(*JSONValue::decode(line));
    }
    std::string out;
    std::size_t bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        for (const auto& value : values) {
            out.clear();
            auto written = value.encodeTo(out);
            benchmark::DoNotOptimize(written);
            bytes += out.size();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values.size()));
}
BENCHMARK(EncodeNotificationLines)->Unit(benchmark::kMillisecond);

void NlohmannDecodeLargeResult(benchmark::State& state) {
    const std::string& text = largeResult();
    for (auto _ : state) {
        NlohmannTreeBuilder builder;
        bool ok = nlohmann::json::sax_parse(text, &builder);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(builder.root);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(NlohmannDecodeLargeResult)->Unit(benchmark::kMillisecond);

void NlohmannDecodeNotificationLines(benchmark::State& state) {
    const auto& lines = notificationLines();
    for (auto _ : state) {
        for (const auto& line : lines) {
            NlohmannTreeBuilder builder;
            bool ok = nlohmann::json::sax_parse(line, &builder);
            benchmark::DoNotOptimize(ok);
            benchmark::DoNotOptimize(builder.root);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * totalSize(lines)));
}
BENCHMARK(NlohmannDecodeNotificationLines)->Unit(benchmark::kMillisecond);

void NlohmannDumpLargeResult(benchmark::State& state) {
    const std::string& text = largeResult();
    nlohmann::json value = nlohmann::json::parse(text);
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string out = value.dump();
        bytes = out.size();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(NlohmannDumpLargeResult)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
