#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// How long a browser may keep an answer.
enum class WebCaching {
    noStore,   // the page itself: always fetched afresh
    noCache,   // stable names (manifest, icon): kept, but asked again before use
    immutable, // content-hashed assets: kept for a year, never asked again
};

struct WebFile {
    std::string bytes;
    std::string contentType;
    WebCaching caching = WebCaching::noStore;
};

// The files the link serves, by exact request path. A value: whoever builds it decides what is
// in it; the link serves nothing else.
class WebContent {
public:
    // The placeholder in index.html that becomes the build.
    static constexpr std::string_view buildPlaceholder = "{{build}}";
    // How many hexadecimal digits of the SHA-256 name a build.
    static constexpr std::size_t buildDigits = 16;

    // The table for the page's files (name relative to the page's folder, such as "app.css",
    // → bytes): "/" and "/trust" are index.html with its build filled in, "/sw.js" the service
    // worker with its build filled in, every other file is under "/assets/<build>/<name>", and
    // the manifest and the icon also under their stable names.
    // The build is the first 16 lowercase hexadecimal digits of a SHA-256 over every file's
    // name, length and bytes. Files of a type the page does not use are left out and named in
    // `skipped`.
    static WebContent assemble(const std::map<std::string, std::string>& files,
                               std::vector<std::string>* skipped = nullptr);

    void add(std::string path, WebFile file);
    // The file served at exactly `path`, or null.
    const WebFile* find(std::string_view path) const;
    const std::string& build() const { return build_; }
    bool empty() const { return files_.empty(); }

private:
    std::map<std::string, WebFile, std::less<>> files_;
    std::string build_;
};

// The Content-Type of a page file by its name, "" for a type the page does not use.
std::string_view webContentType(std::string_view name);

} // namespace tarnwick
