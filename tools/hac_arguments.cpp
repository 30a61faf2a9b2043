#include "hac_arguments.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <climits>

#include "hac_output.h"

namespace hac_tool {

bool parse_options(const std::vector<std::string>& args, const std::vector<Option>& options,
                   std::vector<std::string>* positional, std::string* error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            positional->insert(positional->end(), args.begin() + i + 1, args.end());
            return true;
        }
        if (arg.size() < 2 || arg[0] != '-' || arg == "-" || (arg[1] != '-' && !isalpha((unsigned char)arg[1]))) {
            positional->push_back(arg);  // also negative numbers such as -3
            continue;
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const Option* match = nullptr;
        for (const Option& option : options)
            if (name == option.name) match = &option;
        if (!match) {
            *error = "unknown option " + name;
            return false;
        }
        if (match->flag) {
            if (equals != std::string::npos) {
                *error = "option " + name + " takes no value";
                return false;
            }
            *match->flag = true;
        } else if (equals != std::string::npos || i + 1 < args.size()) {
            *match->value = equals != std::string::npos ? arg.substr(equals + 1) : args[++i];
            if (match->values) match->values->push_back(*match->value);
        } else {
            *error = "option " + name + " needs a value";
            return false;
        }
    }
    return true;
}

int parse_command_line(const char* command, const char* help_text, const std::vector<std::string>& args,
                       std::vector<Option> options, std::vector<std::string>* positional) {
    bool help = false;
    std::vector<std::string> arguments;
    std::string error;
    options.push_back({"--help", nullptr, &help});
    options.push_back({"-h", nullptr, &help});
    if (!parse_options(args, options, &arguments, &error)) return usage_error(command, error);
    if (help) {
        print_text(help_text);
        return EXIT_OK;
    }
    if (positional == nullptr && !arguments.empty())
        return usage_error(command, "unexpected argument '" + arguments[0] + "'");
    if (positional != nullptr) *positional = arguments;
    return kGoOn;
}

namespace {

// A number is the whole word: an optional sign, then decimal digits and
// nothing else. strtoll alone would skip leading blanks and stop at a NUL
// byte, so "\0garbage" would read as 0.
bool is_decimal_word(const std::string& text, bool minus_allowed) {
    size_t digits = 0;
    if (!text.empty() && (text[0] == '+' || (minus_allowed && text[0] == '-'))) digits = 1;
    if (digits == text.size()) return false;
    for (size_t i = digits; i < text.size(); ++i)
        if (!isdigit((unsigned char)text[i])) return false;
    return true;
}

}  // namespace

bool parse_int(const std::string& text, int* out) {
    if (!is_decimal_word(text, true)) return false;
    errno = 0;
    const long long value = strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || value < INT_MIN || value > INT_MAX) return false;
    *out = (int)value;
    return true;
}

bool parse_unsigned(const std::string& text, unsigned int* out) {
    if (!is_decimal_word(text, false)) return false;
    errno = 0;
    const unsigned long long value = strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || value > UINT_MAX) return false;
    *out = (unsigned int)value;
    return true;
}

bool parse_truth(const std::string& text, int* out) {
    if (text != "0" && text != "1") return false;
    *out = text == "1";
    return true;
}

bool parse_seconds(const std::string& text, double* out) {
    // strtod would skip leading blanks and stop at a NUL byte.
    if (text.empty() || isspace((unsigned char)text[0])) return false;
    char* end = nullptr;
    errno = 0;
    const double value = strtod(text.c_str(), &end);
    // Written so that NaN fails too.
    if (errno != 0 || end != text.c_str() + text.size() || !(value >= kMinSeconds && value <= kMaxSeconds))
        return false;
    *out = value;
    return true;
}

bool read_small_file(const std::string& path, size_t max_bytes, std::string* text, std::string* error) {
    if (path.find('\0') != std::string::npos) {
        *error = "the file name holds a NUL byte";
        return false;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    text->clear();
    int read_errno = 0;
    while (text->size() <= max_bytes) {
        const size_t have = text->size(), want = max_bytes + 1 - have;
        text->resize(have + want);
        const ssize_t n = read(fd, &(*text)[have], want);
        text->resize(have + (n > 0 ? (size_t)n : 0));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) read_errno = errno;
        if (n <= 0) break;
    }
    close(fd);
    if (read_errno != 0) {
        *error = "cannot read " + path + ": " + strerror(read_errno);
        return false;
    }
    if (text->size() > max_bytes) {
        *error = path + " is over " + std::to_string(max_bytes) + " bytes";
        return false;
    }
    return true;
}

bool split_words(const std::string& line, std::vector<std::string>* words, std::string* error) {
    words->clear();
    std::string word;
    bool in_word = false, quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            in_word = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (in_word) words->push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (quoted) {
        *error = "unterminated quote";
        return false;
    }
    if (in_word) words->push_back(word);
    return true;
}

const std::vector<NamedValue> kKeyNames = {
    {"unknown", 0}, {"red", 1},      {"green", 2},  {"yellow", 3},    {"blue", 4},    {"up", 5},
    {"down", 6},    {"left", 7},     {"right", 8},  {"enter", 9},     {"back", 10},   {"0", 11},
    {"1", 12},      {"2", 13},       {"3", 14},     {"4", 15},        {"5", 16},      {"6", 17},
    {"7", 18},      {"8", 19},       {"9", 20},     {"play", 21},     {"pause", 22},  {"stop", 23},
    {"fast-fwd", 24}, {"rewind", 25}, {"page-up", 26}, {"page-down", 27}, {"info", 28}, {"text", 29}};
const std::vector<NamedValue> kKeyEventTypeNames = {{"down", 0}, {"up", 1}, {"repeat", 2}};
const std::vector<NamedValue> kAitStatusNames = {{"ok", 0}, {"error", 1}, {"no-application", 2}, {"unchanged", 3}};
const std::vector<NamedValue> kAppSourceNames = {{"url", 0}, {"xml-ait", 1}, {"broadcast", 2}};
const std::vector<NamedValue> kResetTypeNames = {
    {"service-change", 0}, {"channel-change", 1}, {"standby", 2}, {"full", 3}};
const std::vector<NamedValue> kAppEventNames = {
    {"loaded", 0}, {"started", 1}, {"stopped", 2}, {"load-error", 3}, {"killed", 4}};

bool parse_named(const std::string& text, const std::vector<NamedValue>& names, int* out) {
    // Names first: the key names "0" to "9" are not the numbers 0 to 9.
    for (const NamedValue& named : names) {
        if (text == named.name) {
            *out = named.value;
            return true;
        }
    }
    return parse_int(text, out);
}

std::string names_of(const std::vector<NamedValue>& names) {
    std::string text;
    for (const NamedValue& named : names) text += (text.empty() ? "" : "|") + std::string(named.name);
    return text;
}

}  // namespace hac_tool
