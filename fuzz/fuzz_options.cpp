// Fuzz target: the option scanner over arbitrary argument vectors. The input bytes,
// split at NUL bytes, are the arguments after the program name.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cmdLine.h"

namespace {

const char *const flags[] = {"h", "help", "v", "version", "q", "quiet", "p", "run-cpu",
                             "g", "run-gpu", "c", "compare", "r", "store-results"};
const char *const intOptions[] = {"x", "cross-section", "l", "layer", "k", "kernel",
                                  "b", "block-size"};
const char *const textOptions[] = {"i", "config-file", "r", "store-results"};

[[noreturn]] void fail(const char *what, const char *keyword)
{
    std::fprintf(stderr, "fuzz_options: %s (keyword %s)\n", what, keyword);
    std::abort();
}

// A valued option is only found where its keyword is present at all, and an option
// that is not found leaves the variable as it was.
template <typename T>
void scanValued(const char *keyword, const T &unset, int argc, char **argv)
{
    T value = unset;
    const bool found = cmdLineGet(&value, keyword, argc, argv);
    if (found && !cmdLineGetBool(keyword, argc, argv))
        fail("value found without its keyword", keyword);
    if (!found && !(value == unset))
        fail("variable changed without a value", keyword);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Own copies of the words, each ending with its NUL; argv[argc] is null as for main.
    std::vector<std::string> words(1, "fyrnol");
    words.emplace_back();
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\0')
            words.emplace_back();
        else
            words.back().push_back(static_cast<char>(data[i]));
    }
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    for (const char *kw : flags)
        cmdLineGetBool(kw, argc, argv.data());
    for (const char *kw : intOptions) {
        scanValued<int>(kw, -7, argc, argv.data());
        scanValued<int>(kw, 0, argc, argv.data());
    }
    for (const char *kw : textOptions)
        scanValued<std::string>(kw, "<none>", argc, argv.data());
    return 0;
}
