// Command-line option scanner: options by keyword behind one or two hyphens.
#ifndef FYRNOL_CMDLINE_H
#define FYRNOL_CMDLINE_H

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

// True when argument a names keyword: "-kw" or "--kw", nothing else.
inline bool cmdLineMatches(const char *a, const char *keyword)
{
    if (a == nullptr || a[0] != '-')
        return false;
    const char *name = (a[1] == '-') ? a + 2 : a + 1;
    return std::strcmp(name, keyword) == 0;
}

inline bool cmdLineGetBool(const char *keyword, int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (cmdLineMatches(argv[i], keyword))
            return true;
    return false;
}

inline void cmdLinePassback(const char *s, std::string *p) { *p = s; }

// Read as atoi does, with the value clamped to the int range.
inline void cmdLinePassback(const char *s, int *p)
{
    const long l = std::strtol(s, nullptr, 10);
    *p = l > INT_MAX ? INT_MAX : (l < INT_MIN ? INT_MIN : static_cast<int>(l));
}

// The last occurrence wins; a keyword without a following argument is skipped.
template <typename T>
bool cmdLineGet(T *p, const char *keyword, int argc, char **argv)
{
    bool ret = false;
    int i = 1;
    while (i < argc) {
        if (cmdLineMatches(argv[i], keyword) && i + 1 < argc) {
            cmdLinePassback(argv[i + 1], p);
            ret = true;
            i += 2;
        } else {
            ++i;
        }
    }
    return ret;
}

#endif
