// Scanning XML text for the output box's colours.

#include "xml_spans.h"

namespace
{

constexpr size_t kLongestEntity = 10; // "&#x10FFFF;"

bool IsSpace(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

bool EndsName(char16_t c)
{
    return IsSpace(c) || c == u'=' || c == u'>' || c == u'/' || c == u'"' || c == u'\'';
}

class Scanner
{
  public:
    Scanner(std::u16string_view line, std::vector<XmlSpan> &spans) : line_(line), spans_(spans) {}

    int Run(int state)
    {
        while (i_ < line_.size()) {
            switch (state) {
            case kXmlInComment:
                state = Comment();
                break;
            case kXmlInDoubleValue:
            case kXmlInSingleValue:
                state = Value(state == kXmlInDoubleValue ? u'"' : u'\'', i_);
                break;
            case kXmlInTag:
                state = InTag();
                break;
            default:
                state = Text();
                break;
            }
        }
        return state;
    }

  private:
    void Add(size_t start, size_t end, XmlKind kind)
    {
        if (end > start)
            spans_.push_back(XmlSpan{start, end - start, kind});
    }

    // Up to and including the closing "-->", or to the end of the line.
    int Comment()
    {
        size_t end = line_.find(u"-->", i_);
        if (end == std::u16string_view::npos) {
            Add(i_, line_.size(), XmlKind::Comment);
            i_ = line_.size();
            return kXmlInComment;
        }
        Add(i_, end + 3, XmlKind::Comment);
        i_ = end + 3;
        return kXmlText;
    }

    // A quoted value from start up to and including its closing quote.
    int Value(char16_t quote, size_t start)
    {
        size_t end = line_.find(quote, i_);
        if (end == std::u16string_view::npos) {
            Add(start, line_.size(), XmlKind::AttributeValue);
            i_ = line_.size();
            return quote == u'"' ? kXmlInDoubleValue : kXmlInSingleValue;
        }
        Add(start, end + 1, XmlKind::AttributeValue);
        i_ = end + 1;
        return kXmlInTag;
    }

    int InTag()
    {
        char16_t c = line_[i_];
        if (c == u'>' || (c == u'/' && i_ + 1 < line_.size() && line_[i_ + 1] == u'>')) {
            size_t end = i_ + (c == u'>' ? 1 : 2);
            Add(i_, end, XmlKind::Bracket);
            i_ = end;
            return kXmlText;
        }
        if (c == u'"' || c == u'\'') {
            size_t start = i_++;
            return Value(c, start);
        }
        if (IsSpace(c) || c == u'=') {
            i_++;
            return kXmlInTag;
        }
        size_t end = i_ + 1;
        while (end < line_.size() && !EndsName(line_[end]))
            end++;
        Add(i_, end, XmlKind::AttributeName);
        i_ = end;
        return kXmlInTag;
    }

    int Text()
    {
        std::u16string_view rest = line_.substr(i_);
        if (rest.starts_with(u"<!--")) {
            Add(i_, i_ + 4, XmlKind::Comment);
            i_ += 4;
            return kXmlInComment;
        }
        if (rest.starts_with(u"<?") || rest.starts_with(u"<!")) {
            size_t end = line_.find(u'>', i_);
            end = end == std::u16string_view::npos ? line_.size() : end + 1;
            Add(i_, end, XmlKind::Declaration);
            i_ = end;
            return kXmlText;
        }
        if (rest[0] == u'<') {
            size_t name = i_ + (rest.starts_with(u"</") ? 2 : 1);
            Add(i_, name, XmlKind::Bracket);
            size_t end = name;
            while (end < line_.size() && !EndsName(line_[end]))
                end++;
            Add(name, end, XmlKind::TagName);
            i_ = end;
            return kXmlInTag;
        }
        if (rest[0] == u'&') {
            size_t end = line_.find(u';', i_);
            if (end != std::u16string_view::npos && end - i_ <= kLongestEntity) {
                Add(i_, end + 1, XmlKind::Entity);
                i_ = end + 1;
                return kXmlText;
            }
        }
        i_++;
        return kXmlText;
    }

    std::u16string_view line_;
    std::vector<XmlSpan> &spans_;
    size_t i_ = 0;
};

} // namespace

int XmlLineSpans(std::u16string_view line, int state, std::vector<XmlSpan> &spans)
{
    if (state < kXmlText || state > kXmlInComment)
        state = kXmlText;
    return Scanner(line, spans).Run(state);
}
