// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringView>

#include <vector>

/// The (Cliente, NumCartao) pairs of the card list, held compactly: all characters in one
/// buffer and three 32-bit numbers a card. The list is read whole before any card is settled,
/// because a connection to SQL Server serves one open result at a time.
class CardList
{
public:
    void add(const QString &cliente, const QString &numCartao);
    qsizetype size() const { return static_cast<qsizetype>(m_cards.size()); }
    bool isEmpty() const { return m_cards.empty(); }
    QStringView cliente(qsizetype i) const;
    QStringView numCartao(qsizetype i) const;
    void clear();
    void squeeze();

private:
    struct Entry
    {
        quint32 offset;
        quint32 clienteLength;
        quint32 numCartaoLength;
    };
    QString m_chars;
    std::vector<Entry> m_cards;
};
