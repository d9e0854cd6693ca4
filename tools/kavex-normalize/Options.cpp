#include "Options.h"

#include <cerrno>
#include <cstdlib>

#include "Failure.h"

namespace kavex::cli {

// The most threads --jobs accepts: more would only cost memory, a few pieces each.
constexpr unsigned long kMaxJobs = 256;

const char kUsage[] =
    "Usage: kavex-normalize [OPTION]... [FILE]...\n"
    "Normalizes Arabic-script text to NFC, NFD, NFKD or NFKC with the kavex rules, writing\n"
    "the result to standard output. With no FILE, or when FILE is -, reads standard input.\n"
    "\n"
    "  --form nfd|nfc|nfkd|nfkc   normalization form (default: nfc); nfkc reads the rules\n"
    "                             file that config.ini names under NFKCfilepath\n"
    "  --rules DIR                folder holding config.ini and the rules files it names\n"
    "                             (default: the rules shipped with kavex, found next to\n"
    "                             this program or in ../share/kavex/rules from it)\n"
    "  --profile NAME             a language profile of the rules: normalize and fold as\n"
    "                             Urdu, Persian or Arabic search text need (folder\n"
    "                             profiles/NAME of the rules); --profile list names them\n"
    "  --encoding utf-8|utf-16le  encoding of input and output (default: utf-8); UTF-8 is\n"
    "                             read strictly and written without a byte-order mark; a\n"
    "                             byte-order mark in the input is kept as U+FEFF\n"
    "  --check                    write nothing; exit 1 and name the first line that\n"
    "                             normalization would change, exit 0 when none would\n"
    "  --explain                  after each normalized line, one line per step: every\n"
    "                             U+06BE moved (from and to offset), then every rule\n"
    "                             applied (its offset in the line, and in the result,\n"
    "                             its line in the rules file, its source and replacement)\n"
    "  -o, --output FILE          write to FILE instead of standard output; FILE is\n"
    "                             replaced only once everything has been written (through\n"
    "                             a symbolic link: the file it names; a file with other\n"
    "                             hard links is refused)\n"
    "  --jobs N                   normalize on N threads (default: one per core); the\n"
    "                             output is the same for every N\n"
    "  -h, --help                 show this help and exit\n"
    "  --version                  show the version and exit\n"
    "\n"
    "The text is normalized as if line by line (a line ends after a line feed, which stays\n"
    "part of it): memory stays small for any size of input, and a rule match never spans a\n"
    "line feed. A U+0000 character ends a piece of text in the same way. A line longer than\n"
    "1048576 UTF-16 code units is normalized in pieces of at most that size, cut after a\n"
    "space where one is near, so a match never spans such a cut either.\n"
    "\n"
    "Exit status: 0 success; 1 --check found a change, or a file could not be read or\n"
    "written; 2 the rules could not be loaded; 64 wrong usage; 65 invalid input text.\n";

namespace {

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

unsigned ParseJobs(const std::string& value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long jobs = std::strtoul(value.c_str(), &end, 10);
    if (value.empty() || value[0] < '0' || value[0] > '9' || *end != '\0' || errno != 0 ||
        jobs < 1 || jobs > kMaxJobs) {
        throw Failure{kExitUsage, "--jobs takes a number of threads from 1 to " +
                                      std::to_string(kMaxJobs) + ", not '" + value + "'"};
    }
    return static_cast<unsigned>(jobs);
}

}  // namespace

Options ParseOptions(int argc, char** argv) {
    Options options;
    bool filesOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (filesOnly || argument == "-" || argument.empty() || argument[0] != '-') {
            options.files.push_back(argument);
            continue;
        }
        if (argument == "--") {
            filesOnly = true;
            continue;
        }
        std::string name = argument;
        std::string value;
        bool hasValue = false;
        const std::size_t equals = argument.find('=');
        if (argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            hasValue = true;
        } else if (argument.size() > 2 && argument.rfind("-o", 0) == 0) {
            name = "-o";
            value = argument.substr(2);
            hasValue = true;
        }
        auto takeValue = [&]() {
            if (hasValue) return value;
            if (i + 1 >= argc) throw Failure{kExitUsage, "option " + name + " needs a value"};
            return std::string(argv[++i]);
        };
        auto noValue = [&]() {
            if (hasValue) throw Failure{kExitUsage, "option " + name + " takes no value"};
        };

        if (name == "--form") {
            const std::string form = Lower(takeValue());
            if (form == "nfd") {
                options.form = Form::kNfd;
            } else if (form == "nfc") {
                options.form = Form::kNfc;
            } else if (form == "nfkd") {
                options.form = Form::kNfkd;
            } else if (form == "nfkc") {
                options.form = Form::kNfkc;
            } else {
                throw Failure{kExitUsage, "unknown form '" + form + "' (nfd, nfc, nfkd or nfkc)"};
            }
        } else if (name == "--encoding") {
            const std::string encoding = Lower(takeValue());
            if (encoding == "utf-8" || encoding == "utf8") {
                options.encoding = Encoding::Utf8;
            } else if (encoding == "utf-16le" || encoding == "utf16le") {
                options.encoding = Encoding::Utf16le;
            } else {
                throw Failure{kExitUsage,
                              "unknown encoding '" + encoding + "' (utf-8 or utf-16le)"};
            }
        } else if (name == "--rules") {
            options.rules = takeValue();
        } else if (name == "--profile") {
            options.profile = takeValue();
            if (options.profile.empty()) throw Failure{kExitUsage, "--profile needs a name"};
        } else if (name == "-o" || name == "--output") {
            options.output = takeValue();
        } else if (name == "--jobs") {
            options.jobs = ParseJobs(takeValue());
        } else if (name == "--check") {
            noValue();
            options.check = true;
        } else if (name == "--explain") {
            noValue();
            options.explain = true;
        } else if (name == "-h" || name == "--help") {
            noValue();
            options.help = true;
        } else if (name == "--version") {
            noValue();
            options.version = true;
        } else {
            throw Failure{kExitUsage, "unknown option '" + argument + "'"};
        }
    }
    if (options.check && options.explain) {
        throw Failure{kExitUsage, "--check and --explain do not go together"};
    }
    if (options.check && !options.output.empty()) {
        throw Failure{kExitUsage, "--check writes nothing, so it takes no -o"};
    }
    return options;
}

}  // namespace kavex::cli
