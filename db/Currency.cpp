// SPDX-License-Identifier: MIT
#include "db/Currency.h"

#include <QtNumeric>

#include <cmath>
#include <limits>

namespace {

constexpr qint64 kMax = std::numeric_limits<qint64>::max();
constexpr qint64 kMin = std::numeric_limits<qint64>::min();

} // namespace

bool Currency::fromWhole(qint64 whole, Currency *out)
{
    qint64 raw = 0;
    if (qMulOverflow(whole, qint64{Scale}, &raw))
        return false;
    *out = Currency(raw);
    return true;
}

bool Currency::fromString(QStringView text, Currency *out)
{
    QStringView s = text.trimmed();
    bool negative = false;
    if (!s.isEmpty() && (s.front() == QLatin1Char('-') || s.front() == QLatin1Char('+'))) {
        negative = s.front() == QLatin1Char('-');
        s = s.mid(1);
    }
    int exponent = 0;
    const qsizetype e = s.indexOf(QLatin1Char('e'), 0, Qt::CaseInsensitive);
    if (e >= 0) {
        bool ok = false;
        exponent = s.mid(e + 1).toInt(&ok);
        if (!ok || exponent > 40 || exponent < -40)
            return false;
        s = s.left(e);
    }
    QString intDigits;
    QString fracDigits;
    bool seenPoint = false;
    for (const QChar c : s) {
        if (c == QLatin1Char('.') && !seenPoint)
            seenPoint = true;
        else if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            (seenPoint ? fracDigits : intDigits) += c;
        else
            return false;
    }
    if (intDigits.isEmpty() && fracDigits.isEmpty())
        return false;
    // Move the decimal point by the exponent.
    if (exponent > 0) {
        fracDigits += QString(exponent, QLatin1Char('0'));
        intDigits += fracDigits.left(exponent);
        fracDigits.remove(0, exponent);
    } else if (exponent < 0) {
        intDigits.prepend(QString(-exponent, QLatin1Char('0')));
        fracDigits.prepend(intDigits.right(-exponent));
        intDigits.chop(-exponent);
    }
    fracDigits += QStringLiteral("0000");
    // The magnitude is gathered unsigned so that the most negative value parses too.
    const quint64 limit = negative ? static_cast<quint64>(kMax) + 1 : static_cast<quint64>(kMax);
    quint64 value = 0;
    for (const QChar c : intDigits + fracDigits.left(4)) {
        const auto digit = static_cast<quint64>(c.digitValue());
        if (qMulOverflow(value, quint64{10}, &value) || qAddOverflow(value, digit, &value) ||
            value > limit)
            return false;
    }
    // Digits below the fourth decimal: round half to even.
    const QStringView rest = QStringView(fracDigits).mid(4);
    if (!rest.isEmpty()) {
        const int first = rest.front().digitValue();
        bool tail = false;
        for (const QChar c : rest.mid(1))
            tail = tail || c != QLatin1Char('0');
        if (first > 5 || (first == 5 && (tail || value % 2 != 0))) {
            if (value == limit)
                return false;
            ++value;
        }
    }
    *out = Currency(negative ? static_cast<qint64>(0u - value) : static_cast<qint64>(value));
    return true;
}

bool Currency::fromVariant(const QVariant &value, Currency *out, QString *error)
{
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (value.isNull() || !value.isValid())
        return fail(QStringLiteral("valor nulo onde se esperava um número"));
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar: {
        if (!fromWhole(value.toLongLong(), out))
            return fail(QStringLiteral("valor fora do intervalo: %1").arg(value.toString()));
        return true;
    }
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar: {
        const qulonglong u = value.toULongLong();
        if (u > static_cast<qulonglong>(kMax) || !fromWhole(static_cast<qint64>(u), out))
            return fail(QStringLiteral("valor fora do intervalo: %1").arg(value.toString()));
        return true;
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = value.toDouble();
        if (!std::isfinite(d))
            return fail(QStringLiteral("valor não numérico: %1").arg(value.toString()));
        // Fifteen significant digits drop the binary noise: 0.1 + 0.2 reads as 0.3.
        if (!fromString(QString::number(d, 'g', 15), out))
            return fail(QStringLiteral("valor fora do intervalo: %1").arg(value.toString()));
        return true;
    }
    default:
        break;
    }
    if (!fromString(value.toString(), out))
        return fail(QStringLiteral("valor não convertível em pontos: %1").arg(value.toString()));
    return true;
}

bool Currency::roundToWhole(Currency *out) const
{
    qint64 q = m_raw / Scale;
    const qint64 r = m_raw % Scale; // same sign as m_raw
    const qint64 half = Scale / 2;
    if (r > half || (r == half && (q % 2) != 0))
        ++q;
    else if (r < -half || (r == -half && (q % 2) != 0))
        --q;
    return fromWhole(q, out);
}

bool Currency::absolute(Currency *out) const
{
    if (m_raw == kMin)
        return false;
    *out = Currency(m_raw < 0 ? -m_raw : m_raw);
    return true;
}

bool Currency::add(Currency a, Currency b, Currency *out)
{
    qint64 r = 0;
    if (qAddOverflow(a.m_raw, b.m_raw, &r))
        return false;
    *out = Currency(r);
    return true;
}

bool Currency::subtract(Currency a, Currency b, Currency *out)
{
    qint64 r = 0;
    if (qSubOverflow(a.m_raw, b.m_raw, &r))
        return false;
    *out = Currency(r);
    return true;
}

QString Currency::toDecimalString() const
{
    const bool negative = m_raw < 0;
    // Work in unsigned so that the most negative value has a magnitude too.
    const quint64 magnitude = negative ? static_cast<quint64>(0) - static_cast<quint64>(m_raw)
                                       : static_cast<quint64>(m_raw);
    const quint64 whole = magnitude / Scale;
    const quint64 frac = magnitude % Scale;
    return QStringLiteral("%1%2.%3")
        .arg(negative ? QStringLiteral("-") : QString())
        .arg(whole)
        .arg(frac, 4, 10, QLatin1Char('0'));
}

QString Currency::toText() const
{
    QString s = toDecimalString();
    while (s.endsWith(QLatin1Char('0')))
        s.chop(1);
    if (s.endsWith(QLatin1Char('.')))
        s.chop(1);
    if (s == QLatin1String("-0"))
        s = QStringLiteral("0");
    return s;
}
