// What ES_NUMBER lets into an edit control: the digits 0-9 and nothing else.
// (A regular-expression validator says the same, but costs the dialog's
// start-up the regular-expression library's pages and a compile per box.)
#pragma once

#include <QString>
#include <QValidator>

namespace qtwin {

class DigitsValidator : public QValidator
{
public:
    using QValidator::QValidator;

    State validate(QString& input, int&) const override
    {
        for (const QChar c : input) {
            if (c < u'0' || c > u'9')
                return Invalid;
        }
        return Acceptable;
    }
};

}  // namespace qtwin
