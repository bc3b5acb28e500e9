#include "mqtt/Remote.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>

#include "device/Text.h"
#include "mqtt/Topics.h"

namespace kmqtt {
namespace {

// Where the first line of a password file must have ended.
constexpr std::size_t kLongestPasswordFile = 65536;

// %XX escapes undone; nothing for a '%' without two hex digits.
std::optional<std::string> Decoded(std::string_view Text) {
    std::string out;
    for (std::size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] != '%') {
            out += Text[i];
            continue;
        }
        if (i + 2 >= Text.size() || !std::isxdigit(static_cast<unsigned char>(Text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(Text[i + 2])))
            return std::nullopt;
        out += static_cast<char>(std::stoi(std::string(Text.substr(i + 1, 2)), nullptr, 16));
        i += 2;
    }
    return out;
}

// The scheme, case aside: "mqtt" or "mqtts".
bool Scheme(std::string_view Url, std::string_view Name) {
    return Url.size() >= Name.size() + 3 &&
           std::equal(Name.begin(), Name.end(), Url.begin(),
                      [](char N, char U) { return N == std::tolower(static_cast<unsigned char>(U)); }) &&
           Url.substr(Name.size(), 3) == "://";
}

}  // namespace

bool Utf8Text(std::string_view Text) {
    // libmosquitto's own check, which also refuses U+0000-U+001F and U+007F-U+009F.
    return Text.size() <= kLongestTopic &&
           mosquitto_validate_utf8(Text.data(), static_cast<int>(Text.size())) == MOSQ_ERR_SUCCESS;
}

bool UsableInTopics(std::string_view Text, bool Slashes, std::size_t Room) {
    return ValidLevels(Text, Slashes) && Text.size() + Room <= kLongestTopic && Utf8Text(Text);
}

std::string Quoted(std::string_view Text) {
    constexpr std::size_t kShown = 64;
    return kelvorn::Printable(Text.substr(0, kShown)) + (Text.size() > kShown ? "..." : "");
}

std::optional<std::string> ReadPasswordFile(const std::string& Path, std::string& Password) {
    const auto why = [&](int Error) {
        return "cannot read the password file " + kelvorn::Printable(Path) + ": " +
               std::strerror(Error);
    };
    // Without waiting for a writer, which a named pipe may never get (a pipe given by the shell,
    // <(pass show broker), has one already); its reads then wait as usual.
    const int fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return why(errno);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::string text;
    int error = 0;
    char buffer[4096];
    while (text.find('\n') == std::string::npos) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) error = errno;
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > kLongestPasswordFile) error = EFBIG;  // /dev/zero, say
        if (error != 0) break;
    }
    close(fd);
    if (error != 0) return why(error);
    Password = text.substr(0, text.find('\n'));
    if (Password.ends_with('\r')) Password.pop_back();
    return std::nullopt;
}

std::variant<Remote, std::string> ParseRemote(std::string_view Url, const std::string& PasswordFile,
                                              const std::string& CaFile,
                                              const std::string& Program) {
    Remote r;
    const std::string shown = Quoted(Url);
    const auto bad = [&](const std::string& Why) { return "--mqtt " + shown + ": " + Why; };
    if (std::any_of(Url.begin(), Url.end(), [](char C) {
            return static_cast<unsigned char>(C) <= ' ' || C == '\x7F';
        }))
        return bad("a URL holds no spaces or control characters");
    if (Scheme(Url, "mqtts")) {
        r.Tls = true;
        r.Port = 8883;
        Url.remove_prefix(8);
    } else if (Scheme(Url, "mqtt")) {
        Url.remove_prefix(7);
    } else {
        return bad("not mqtt://[USER@]HOST[:PORT][/PREFIX] or mqtts://...");
    }
    const std::size_t slash = Url.find('/');
    std::string_view authority = Url.substr(0, slash);
    const std::string_view path = slash == std::string_view::npos ? "" : Url.substr(slash + 1);

    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        const std::string_view user = authority.substr(0, at);
        if (user.find(':') != std::string_view::npos)  // not repeated on the screen
            return "--mqtt: a password does not go in the URL: put it in a file and name that "
                   "with --password-file";
        const auto name = Decoded(user);
        if (!name || name->empty()) return bad("no user name before '@'");
        if (!Utf8Text(*name)) return bad("the user name is not UTF-8 without control characters");
        r.Username = *name;
        authority.remove_prefix(at + 1);
    }
    std::string_view port;
    if (authority.starts_with('[')) {  // an IPv6 address
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return bad("no ']' after the IPv6 address");
        r.Host = authority.substr(1, close - 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty() && !after.starts_with(':')) return bad("':PORT' or '/' after ']'");
        if (!after.empty()) port = after.substr(1);
        if (after == ":") return bad("no port after ':'");
    } else {
        const std::size_t colon = authority.find(':');
        r.Host = authority.substr(0, colon);
        if (colon != std::string_view::npos) {
            port = authority.substr(colon + 1);
            if (port.empty()) return bad("no port after ':'");
        }
    }
    if (r.Host.empty()) return bad("no host");
    if (!port.empty()) {
        const std::optional<int> number = kelvorn::Digits(port, 5);
        if (!number || *number < 1 || *number > 65535)
            return bad("the port is a number from 1 to 65535");
        r.Port = *number;
    }
    if (!path.empty()) {
        const auto prefix = Decoded(path);
        if (!prefix || !UsableInTopics(*prefix, true, std::max(kLongestBoardSuffix, kBridgeSuffix + 1)) ||
            prefix->find('?') != std::string::npos)
            return bad("not usable as the topics' prefix: " + Quoted(path));
        r.Prefix = *prefix;
    }

    if (!PasswordFile.empty()) {
        if (r.Username.empty())
            return "--password-file needs a user name in the URL (mqtt://USER@HOST)";
        if (auto why = ReadPasswordFile(PasswordFile, r.Password)) return *why;
    }
    if (!CaFile.empty()) {
        if (!r.Tls) return "--cafile goes with an mqtts:// URL";
        if (!std::ifstream(CaFile)) return "cannot read the CA file " + kelvorn::Printable(CaFile);
        r.CaFile = CaFile;
    }
    r.ClientId = UniqueClientId(Program);
    return r;
}

}  // namespace kmqtt
