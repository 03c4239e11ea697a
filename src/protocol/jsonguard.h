#pragma once
// Qt 5's JSON parser never frees an object or array whose member name comes again
// later in the same object (the later value wins, the earlier one is lost): a
// controller could make the program grow by a few hundred bytes a packet. Such a
// text is refused before it is parsed, like any broken packet. Member names are
// compared as sent; a name with an escape could equal another once decoded, so in
// an object that holds an object or array, an escaped name counts as repeated.
// Header-only and Qt-free, on the bytes the parser would read.

#include <string_view>
#include <unordered_set>
#include <vector>

namespace jsonguard
{

inline bool LosesReplacedContainer(std::string_view text)
{
    struct Frame {
        explicit Frame(bool isObject) : object(isObject) {}
        bool object;
        bool holdsContainer = false;
        bool nameRepeated = false;
        bool expectName = true; // in an object: the next string is a member name
        std::unordered_set<std::string_view> names;
    };
    std::vector<Frame> stack;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            const std::size_t start = ++i;
            bool escaped = false;
            for (; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\')
                    escaped = true, ++i;
            }
            if (stack.empty() || !stack.back().object || !stack.back().expectName)
                continue;
            Frame& f = stack.back();
            f.expectName = false;
            const std::string_view name = text.substr(start, i - start);
            f.nameRepeated |= escaped || !f.names.insert(name).second;
        } else if (c == '{' || c == '[') {
            if (!stack.empty())
                stack.back().holdsContainer = true;
            stack.emplace_back(c == '{');
        } else if (c == '}' || c == ']') {
            if (stack.empty())
                return false;
            if (stack.back().holdsContainer && stack.back().nameRepeated)
                return true;
            stack.pop_back();
        } else if (c == ',' && !stack.empty()) {
            stack.back().expectName = true;
        }
    }
    return false;
}

} // namespace jsonguard
