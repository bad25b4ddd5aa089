#include "support/golden.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "support/test_board.h"

namespace stktest {

namespace {

const std::string kTests = STK_SOURCE_DIR "/tests/";

// Where section `name` lies in the file's bytes: its start and its length.
std::pair<size_t, size_t> sectionSpan(const std::string& bytes, const std::string& file,
                                      const std::string& name) {
    std::string text = "\n" + bytes;
    size_t at = text.find("\n### " + name + "\n");
    if (at == std::string::npos) throw std::runtime_error("no section " + name + " in " + file);
    size_t begin = at + name.size() + 5;
    return {begin, std::min(text.find("\n### ", begin + 1), text.size() - 1) - 1 - begin};
}

::testing::AssertionResult compare(const std::string& text, std::string pattern,
                                   const std::string& file, const std::string& name) {
    for (size_t at; (at = pattern.find("{menu}")) != std::string::npos;)
        pattern.replace(at, 6, golden(file, "Menu"));
    for (size_t from = 0, start = 0;; from += 5) {
        size_t mark = std::min(pattern.find("[...]", from), pattern.size());
        std::string part = pattern.substr(from, mark - from);
        bool last = mark == pattern.size();
        // The first part starts the text, the last one ends it, others follow in order.
        size_t at = from == 0 ? 0
                    : last    ? text.size() - std::min(text.size(), part.size())
                              : text.find(part, start);
        if (at == std::string::npos || at < start || text.compare(at, part.size(), part) != 0 ||
            (last && at + part.size() != text.size()))
            return ::testing::AssertionFailure()
                   << name << ": no \"" << part << "\" at the right place in:\n"
                   << text.substr(start);
        start = at + part.size();
        if (last) return ::testing::AssertionSuccess();
        from = mark;
    }
}

}  // namespace

std::string golden(const std::string& file, const std::string& name) {
    std::string bytes = readHostFile(kTests + file);
    auto [begin, length] = sectionSpan(bytes, file, name);
    return bytes.substr(begin, length);
}

::testing::AssertionResult matchesGolden(const std::string& text, const std::string& file,
                                         const std::string& name) {
    std::string pattern = golden(file, name);
    ::testing::AssertionResult result = compare(text, pattern, file, name);
    const char* update = std::getenv("STK_UPDATE_GOLDEN");
    if (result || !update || std::string(update) != "1") return result;
    // The section is written from `text`, with the menu put back as "{menu}"
    // where the old section had it.
    if (pattern.find("[...]") != std::string::npos)
        return ::testing::AssertionFailure() << name << " has \"[...]\" parts: edit it by hand";
    std::string menu = pattern.find("{menu}") != std::string::npos ? golden(file, "Menu") : "";
    std::string fresh = text, bytes = readHostFile(kTests + file);
    for (size_t at = 0; !menu.empty() && (at = fresh.find(menu, at)) != std::string::npos;)
        fresh.replace(at, menu.size(), "{menu}");
    auto [begin, length] = sectionSpan(bytes, file, name);
    writeHostFile(kTests + file, bytes.replace(begin, length, fresh));
    std::fprintf(stderr, "rewrote section %s of %s\n", name.c_str(), file.c_str());
    return ::testing::AssertionSuccess();
}

}  // namespace stktest
