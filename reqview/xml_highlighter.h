// Colours for XML text in a text box, from the spans of xml_spans.
#pragma once

#include <QSyntaxHighlighter>

class XmlHighlighter : public QSyntaxHighlighter
{
  public:
    explicit XmlHighlighter(QTextDocument *document);

  protected:
    void highlightBlock(const QString &text) override;
};
