// Line-end styles for --eol: rewrites the line ends of a stream of bytes to
// one style as they pass, in constant memory, whatever the chunks.
//
// To LF, every CR LF becomes LF; to CR LF, every LF without a CR before it
// becomes CR LF. A lone CR is left as it is. Call finish() at the end of a
// stream: a CR held back to see what follows it is written then.
#ifndef SKELVANE_LINEENDS_H
#define SKELVANE_LINEENDS_H

#include "bytestream.h"

#include <string>
#include <string_view>

namespace skelvane {

enum class lineendstyle { asis, lf, crlf };

class lineendconverter {
public:
    explicit lineendconverter(lineendstyle style = lineendstyle::asis) : style_(style) {}
    void write(bytesink& out, std::string_view bytes);
    void finish(bytesink& out);
    // A CR is held back, to be dropped if an LF follows.
    bool holding() const { return style_ == lineendstyle::lf && lastcr_; }

private:
    lineendstyle style_;
    bool lastcr_ = false;  // the last byte seen was a CR (held back, to LF)
};

// A sink that converts everything written to it and passes it on.
class lineendsink : public bytesink {
public:
    lineendsink(bytesink& out, lineendstyle style) : out_(out), converter_(style) {}
    void finish();

protected:
    void overflow(std::string_view bytes) override;

private:
    bytesink& out_;
    lineendconverter converter_;
};

// The style of the first line end in a file, asis when it has none or
// cannot be read.
lineendstyle firstlineend(const std::string& path);

}  // namespace skelvane

#endif
