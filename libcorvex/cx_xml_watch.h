// A watch over the text fed to the XML parser library, for start tags with
// more attributes than the library can check in reasonable time: it
// compares each attribute of a tag with every other one, so that a tag of a
// hundred thousand attributes takes minutes.
#pragma once

#include <cstddef>

namespace cx_detail
{

class attribute_watch
{
  public:
    // Tags with more attributes than this are refused.
    static constexpr size_t max_attributes = 256;

    // Scan the next bytes of the document; false as soon as a start tag
    // has more than max_attributes attributes (later calls stay false).
    bool scan(const char *bytes, size_t n);

  private:
    enum class at {
        text,        // character data, or the inside of a document type's subset
        open,        // after "<"
        bang,        // after "<!"
        bang_dash,   // after "<!-"
        cdata_open,  // inside "<![CDATA["
        comment,     // up to "-->"
        cdata,       // up to "]]>"
        pi,          // up to "?>"
        declaration, // up to ">" outside quotes, with a subset in brackets
        start_tag,   // up to ">" outside quotes, counting attributes
        end_tag,     // up to ">"
    };

    bool step(const char *&p, const char *end);
    void end_markup();

    at state_ = at::text;
    bool in_subset_ = false; // inside the brackets of a document type
    char quote_ = 0;         // the quote of a literal or value being skipped
    int matched_ = 0;        // characters of a delimiter seen so far
    size_t attributes_ = 0;
    bool refused_ = false;
};

} // namespace cx_detail
