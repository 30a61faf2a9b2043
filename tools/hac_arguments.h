// The hac tool's command lines: options and positional arguments, numbers
// and seconds that take the whole word, commands split into words, a small
// file named on the command line, and enumeration values by name.
#ifndef HAC_ARGUMENTS_H
#define HAC_ARGUMENTS_H

#include <stddef.h>

#include <string>
#include <vector>

namespace hac_tool {

struct Option {
    const char* name;   // "--timeout"
    std::string* value; // receives the value; null for a flag
    bool* flag;         // set by a flag; null for an option with a value
    std::vector<std::string>* values = nullptr;  // a repeatable option: every value, in order
};

// Splits args into options and positional arguments. Accepts "--name value"
// and "--name=value". A lone "--" ends the options.
bool parse_options(const std::vector<std::string>& args, const std::vector<Option>& options,
                   std::vector<std::string>* positional, std::string* error);
// The start of every subcommand: parses its command line with --help (-h)
// added to its options, which prints help_text. Positional arguments go to
// positional; without it, one is a usage error. Returns kGoOn, or the exit
// status to end with: EXIT_OK after the help, EXIT_USAGE after a usage error.
const int kGoOn = -1;
int parse_command_line(const char* command, const char* help_text, const std::vector<std::string>& args,
                       std::vector<Option> options, std::vector<std::string>* positional = nullptr);
// Numbers take the whole word: digits with an optional sign, nothing else
// (no blank, no NUL byte).
bool parse_int(const std::string& text, int* out);
bool parse_unsigned(const std::string& text, unsigned int* out);
// "0" or "1".
bool parse_truth(const std::string& text, int* out);
// A finite number of seconds from kMinSeconds to kMaxSeconds: below a
// millisecond a wait ends before any answer can come, and a day is longer
// than anyone waits on purpose.
const double kMinSeconds = 0.001;
const double kMaxSeconds = 86400;
const char* const kSecondsRange = "0.001 to 86400";
bool parse_seconds(const std::string& text, double* out);
// Reads a whole file of at most max_bytes; reads no more than max_bytes + 1
// bytes whatever the file is (/dev/zero). The error names the path.
bool read_small_file(const std::string& path, size_t max_bytes, std::string* text, std::string* error);
// Splits a command line at blanks; "double quotes" keep blanks in a word.
bool split_words(const std::string& line, std::vector<std::string>* words, std::string* error);

// Enumeration values by name or number ("started" or 1).
struct NamedValue {
    const char* name;
    int value;
};
extern const std::vector<NamedValue> kKeyNames;
extern const std::vector<NamedValue> kKeyEventTypeNames;
extern const std::vector<NamedValue> kAitStatusNames;
extern const std::vector<NamedValue> kAppSourceNames;
extern const std::vector<NamedValue> kResetTypeNames;
extern const std::vector<NamedValue> kAppEventNames;
bool parse_named(const std::string& text, const std::vector<NamedValue>& names, int* out);
std::string names_of(const std::vector<NamedValue>& names);

}  // namespace hac_tool

#endif
