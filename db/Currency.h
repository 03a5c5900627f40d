// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QVariant>
#include <QtGlobal>

/// An amount of points: a signed 64-bit count of ten-thousandths of a point.
/// Arithmetic that would leave the 64-bit range is an error (the `bool` result), never a wrap.
class Currency
{
public:
    static constexpr qint64 Scale = 10000;

    constexpr Currency() = default;
    static constexpr Currency fromRaw(qint64 raw) { return Currency(raw); }
    /// Whole points; false when out of range.
    static bool fromWhole(qint64 whole, Currency *out);

    /// Exact conversion of a decimal text such as "-12.5", "100.0000" or "3e2".
    /// More than four decimals round half to even. Empty text, junk or overflow: false.
    static bool fromString(QStringView text, Currency *out);
    /// Conversion of what a driver returns for a number: integers, decimal strings (exact), and
    /// doubles (rounded to four decimals). A null or empty value is an error here: callers test
    /// isNull() first.
    static bool fromVariant(const QVariant &value, Currency *out, QString *error);

    constexpr qint64 raw() const { return m_raw; }
    constexpr bool isZero() const { return m_raw == 0; }
    constexpr bool isNegative() const { return m_raw < 0; }
    constexpr bool isPositive() const { return m_raw > 0; }

    /// Rounds to whole points, halves to the even neighbour (2.5 to 2, 3.5 to 4, -2.5 to -2).
    /// False when the rounded value leaves the range (within half a point of either end).
    bool roundToWhole(Currency *out) const;
    /// False only for the one value without a positive counterpart.
    bool absolute(Currency *out) const;
    static bool add(Currency a, Currency b, Currency *out);
    static bool subtract(Currency a, Currency b, Currency *out);

    /// Plain decimal text with exactly four decimals ("70.0000", "-0.5000"), for binding.
    QString toDecimalString() const;
    /// Shortest decimal text: "70", "-20", "1.5".
    QString toText() const;

    friend constexpr bool operator==(Currency a, Currency b) { return a.m_raw == b.m_raw; }
    friend constexpr bool operator!=(Currency a, Currency b) { return a.m_raw != b.m_raw; }
    friend constexpr bool operator<(Currency a, Currency b) { return a.m_raw < b.m_raw; }

private:
    constexpr explicit Currency(qint64 raw) : m_raw(raw) {}
    qint64 m_raw = 0;
};
