#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace tarnwick {

// How the fake answers one kind of request.
struct FakeAnswer {
    enum class Kind { result, error, silent, raw };
    Kind kind = Kind::result;
    // JSON text of the result or error; for raw, the line to write with $ID replaced by the
    // request's id.
    std::string text;
};

// One step of the fake's script, run in order on its main thread.
struct FakeStep {
    std::string command;
    std::string argument;
};

// What the fake app-server does, read from script lines (a file, or one argument per line).
//
// Rules, in effect from the start wherever they stand:
//   initialize result JSON | initialize error JSON | initialize silent
//                         how to answer "initialize" (default: a small result object)
//   answer METHOD result JSON | answer METHOD error JSON | answer METHOD silent
//   answer METHOD raw TEXT
//                         how to answer METHOD; by default a request gets the result
//                         {"method": METHOD, "params": its params}
//   delay METHOD MS       answer METHOD only after MS milliseconds
//   reverse N             hold the first N requests other than "initialize" and answer them
//                         in reverse order once the N-th has arrived
//   flood-on METHOD       answer METHOD at once, then write as many notifications as the
//                         request's params ask for: {"count": N, "size": BYTES} (as flood)
//   echo                  report every line read as the notification "fake/received" with
//                         params {"line": the line}
//   ignore-term           ignore SIGTERM
//
// Steps:
//   announce              write the notification "fake/started" with params {"pid",
//                         "cwd", "arguments", "environment", "openDescriptors",
//                         "brokenPipeIgnored"}
//   wait METHOD           wait until a message with this method has been read; "wait
//                         response" waits for an answer to one of the fake's own requests
//   line TEXT             write TEXT and a line feed to standard output, as it is
//   write TEXT            write TEXT to standard output, after turning the escapes \n \r \t
//                         \e \\ and \xHH into their bytes; no line feed is added
//   stderr TEXT           the same, to standard error
//   sleep MS
//   flood COUNT SIZE      write COUNT notifications of SIZE bytes each
//   huge BYTES            write one notification line of BYTES bytes
//   stop-reading          read no more of standard input
//   exit CODE             end with this exit code
//   signal NAME           end by this signal (KILL, TERM, SEGV, ABRT or a number)
//
// Blank lines and lines starting with # are ignored. After the last step the fake goes on
// answering until its input ends, then exits with 0.
struct FakeScript {
    FakeAnswer initialize{FakeAnswer::Kind::result, R"({"userAgent":"fake-app-server"})"};
    std::map<std::string, FakeAnswer> answers;
    std::map<std::string, int> delays;
    std::set<std::string> floodMethods;
    int reverseCount = 0;
    bool echo = false;
    bool ignoreTerm = false;
    std::vector<FakeStep> steps;

    // Fills the script from lines; returns an error text, empty on success.
    std::string add(const std::vector<std::string>& lines);
};

} // namespace tarnwick
