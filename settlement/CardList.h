// SPDX-License-Identifier: MIT
#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringView>
#include <QVariant>

#include <vector>

/// The (Cliente, NumCartao) pairs of the card list, held compactly: all characters in one
/// buffer and four 32-bit numbers a card. The list is read whole before any card is settled,
/// because a connection to SQL Server serves one open result at a time.
class CardList
{
public:
    /// `row` is the card's row in the server's copy of the list, where it has one (the set-wise
    /// walk's); it grows with the cards, and a row that names no card (a pair settled as
    /// another) is skipped.
    void add(const QString &cliente, const QString &numCartao, quint32 row = 0);
    qsizetype size() const { return static_cast<qsizetype>(m_cards.size()); }
    bool isEmpty() const { return m_cards.empty(); }
    QStringView cliente(qsizetype i) const;
    QStringView numCartao(qsizetype i) const;
    quint32 row(qsizetype i) const { return m_cards.at(static_cast<size_t>(i)).row; }
    /// Records that card `i`'s values, as the server compares them with the history's, are
    /// other than the values read: a character outside a varchar column's code page.
    void setTexts(qsizetype i, const QString &cliente, const QString &numCartao);
    /// Whether card `i`'s values read are the text by which the server finds its movements.
    bool readsBack(qsizetype i) const { return !m_texts.contains(i); }
    /// Card `i`'s values as the server compares them, as a statement binds them: as read, unless
    /// setTexts() said otherwise; never NULL, the empty text instead.
    QString clienteText(qsizetype i) const;
    QString numCartaoText(qsizetype i) const;
    void clear();
    void squeeze();

private:
    struct Entry
    {
        quint32 offset;
        quint32 clienteLength;
        quint32 numCartaoLength;
        quint32 row;
    };
    QString m_chars;
    std::vector<Entry> m_cards;
    QHash<qsizetype, std::pair<QString, QString>> m_texts; ///< only where they differ
};

/// The card list names each card once, but a NULL Cliente or NumCartao is read, and settled, as
/// the empty text: (NULL, x) and ('', x) are then the same card, and must be settled once.
/// Only pairs with an empty or NULL value can meet another that way, so only they are kept.
class CardKeys
{
public:
    /// The card's values as text, NULL as the empty text; false when the pair was seen before.
    bool firstTime(const QVariant &cliente, const QVariant &numCartao, QString *clienteText,
                   QString *numCartaoText);
    /// Whether the card may be another of the list, as the server finds their movements: a NULL
    /// value and a blank one are listed apart, and the server may also ignore case and trailing
    /// blanks in the other value. Its sums are read on their own, after what the cards before
    /// it posted, so that the second of them finds the first's rows.
    static bool mayBeListedTwice(QStringView cliente, QStringView numCartao);
    /// Whether a row of a grouped read names the card of the row before it: the same values,
    /// NULL where it was NULL.
    static bool sameCard(const QVariant &cliente, const QVariant &numCartao,
                         const QVariant &clienteBefore, const QVariant &numCartaoBefore);

private:
    QSet<QString> m_blank;
};
