// Colours for XML text in a text box.

#include "xml_highlighter.h"

#include <QColor>
#include <QTextCharFormat>
#include <vector>

#include "xml_spans.h"

namespace
{

QTextCharFormat FormatFor(XmlKind kind)
{
    QTextCharFormat format;
    switch (kind) {
    case XmlKind::Bracket:
    case XmlKind::TagName:
        format.setForeground(QColor(0x1f, 0x4e, 0x9a));
        break;
    case XmlKind::AttributeName:
        format.setForeground(QColor(0x8a, 0x3f, 0x00));
        break;
    case XmlKind::AttributeValue:
        format.setForeground(QColor(0x1a, 0x7f, 0x37));
        break;
    case XmlKind::Entity:
        format.setForeground(QColor(0x7a, 0x2e, 0x8e));
        break;
    case XmlKind::Comment:
    case XmlKind::Declaration:
        format.setForeground(QColor(0x6e, 0x6e, 0x6e));
        format.setFontItalic(true);
        break;
    }
    if (kind == XmlKind::TagName)
        format.setFontWeight(QFont::Bold);
    return format;
}

} // namespace

XmlHighlighter::XmlHighlighter(QTextDocument *document) : QSyntaxHighlighter(document) {}

void XmlHighlighter::highlightBlock(const QString &text)
{
    std::vector<XmlSpan> spans;
    int state = XmlLineSpans(std::u16string_view(reinterpret_cast<const char16_t *>(text.utf16()),
                                                 static_cast<size_t>(text.size())),
                             previousBlockState(), spans);
    for (const XmlSpan &span : spans)
        setFormat(static_cast<int>(span.start), static_cast<int>(span.length),
                  FormatFor(span.kind));
    setCurrentBlockState(state);
}
