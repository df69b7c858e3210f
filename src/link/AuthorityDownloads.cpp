#include "link/AuthorityDownloads.h"

#include "link/CertificateFingerprint.h"

namespace tarnwick {

namespace {

std::string escapedXml(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// A UUID's text made of 32 hex digits of `hex` from `at`.
std::string uuidFrom(const std::string& hex, std::size_t at) {
    const std::string digits = QString::fromStdString(hex.substr(at, 32)).toUpper().toStdString();
    std::string uuid;
    uuid.reserve(36);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20) {
            uuid.push_back('-');
        }
        uuid.push_back(digits[i]);
    }
    return uuid;
}

std::string keyed(std::string_view key, const std::string& value, std::string_view type) {
    return "<key>" + std::string(key) + "</key><" + std::string(type) + ">" + value + "</" +
           std::string(type) + ">\n";
}

} // namespace

std::string AuthorityDownloads::profile(const QSslCertificate& authority) {
    const std::string fingerprint = certificateFingerprint(authority);
    const std::string name =
        escapedXml(authority.subjectInfo(QSslCertificate::CommonName).value(0).toStdString());
    const std::string identifier = "org.tarnwick.bridge.ca." + fingerprint.substr(0, 16);
    std::string payload = "<dict>\n";
    payload += keyed("PayloadCertificateFileName", "tarnwick-bridge-ca.crt", "string");
    payload += keyed("PayloadContent", authority.toDer().toBase64().toStdString(), "data");
    payload += keyed("PayloadDescription", "Lets this phone verify the bridge.", "string");
    payload += keyed("PayloadDisplayName", name, "string");
    payload += keyed("PayloadIdentifier", identifier + ".root", "string");
    payload += keyed("PayloadType", "com.apple.security.root", "string");
    payload += keyed("PayloadUUID", uuidFrom(fingerprint, 0), "string");
    payload += keyed("PayloadVersion", "1", "integer");
    payload += "</dict>\n";

    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\">\n<dict>\n";
    out += "<key>PayloadContent</key><array>\n" + payload + "</array>\n";
    out += keyed("PayloadDescription",
                 "Lets this phone verify the computer it drives Codex on, so that someone in "
                 "between meets an error instead of a warning.",
                 "string");
    out += keyed("PayloadDisplayName", name, "string");
    out += keyed("PayloadIdentifier", identifier, "string");
    out += "<key>PayloadRemovalDisallowed</key><false/>\n";
    out += keyed("PayloadType", "Configuration", "string");
    out += keyed("PayloadUUID", uuidFrom(fingerprint, 32), "string");
    out += keyed("PayloadVersion", "1", "integer");
    out += "</dict>\n</plist>\n";
    return out;
}

WebContent AuthorityDownloads::with(const WebContent& content, const QSslCertificate& authority) {
    WebContent out = content;
    if (authority.isNull()) {
        return out;
    }
    const QByteArray der = authority.toDer();
    out.add(std::string(certificatePath),
            {der.toStdString(), "application/x-x509-ca-cert", WebCaching::noCache});
    out.add(std::string(profilePath),
            {profile(authority), "application/x-apple-aspen-config", WebCaching::noCache});
    return out;
}

} // namespace tarnwick
