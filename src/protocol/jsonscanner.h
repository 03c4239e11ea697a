#pragma once
// Finds where top-level JSON objects end in a byte stream, one byte at a time, so
// the state carries across reads. Braces count only outside strings, and strings
// only inside an object: a stray quote in junk before an object cannot hide it.
// Header-only and Qt-free, so the command-line tools use the same rule.

class JsonObjectScanner
{
public:
    enum Step {
        Other,      // nothing ended here
        ObjectEnd,  // this '}' closed a top-level object
        StrayClose, // a '}' with no object open
    };

    Step step(char c)
    {
        if (inString_) {
            if (escaped_)
                escaped_ = false;
            else if (c == '\\')
                escaped_ = true;
            else if (c == '"')
                inString_ = false;
            return Other;
        }
        if (c == '"' && depth_ > 0) {
            inString_ = true;
        } else if (c == '{') {
            ++depth_;
        } else if (c == '}') {
            if (depth_ == 0)
                return StrayClose;
            if (--depth_ == 0)
                return ObjectEnd;
        }
        return Other;
    }

    bool insideObject() const { return depth_ > 0; }
    void reset() { *this = JsonObjectScanner(); }

private:
    int depth_ = 0;
    bool inString_ = false;
    bool escaped_ = false;
};
