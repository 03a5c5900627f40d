// SPDX-License-Identifier: MIT
#include "settlement/CardList.h"

#include <stdexcept>

void CardList::add(const QString &cliente, const QString &numCartao, quint32 row)
{
    const qsizetype offset = m_chars.size();
    if (offset + cliente.size() + numCartao.size() > qsizetype(0xffffffffu))
        throw std::length_error("lista de cartões demasiado grande");
    m_chars += cliente;
    m_chars += numCartao;
    m_cards.push_back({static_cast<quint32>(offset), static_cast<quint32>(cliente.size()),
                       static_cast<quint32>(numCartao.size()), row});
}

QStringView CardList::cliente(qsizetype i) const
{
    const Entry &e = m_cards.at(static_cast<size_t>(i));
    return QStringView(m_chars).mid(e.offset, e.clienteLength);
}

QStringView CardList::numCartao(qsizetype i) const
{
    const Entry &e = m_cards.at(static_cast<size_t>(i));
    return QStringView(m_chars).mid(qsizetype(e.offset) + e.clienteLength, e.numCartaoLength);
}

void CardList::setTexts(qsizetype i, const QString &cliente, const QString &numCartao)
{
    m_texts.insert(i, {cliente, numCartao});
}

namespace {
QString bound(const QString &text)
{
    return text.isNull() ? QStringLiteral("") : text;
}
} // namespace

QString CardList::clienteText(qsizetype i) const
{
    const auto texts = m_texts.constFind(i);
    return bound(texts == m_texts.cend() ? cliente(i).toString() : texts->first);
}

QString CardList::numCartaoText(qsizetype i) const
{
    const auto texts = m_texts.constFind(i);
    return bound(texts == m_texts.cend() ? numCartao(i).toString() : texts->second);
}

void CardList::clear()
{
    m_chars.clear();
    m_cards.clear();
    m_texts.clear();
}

void CardList::squeeze()
{
    m_chars.squeeze();
    m_cards.shrink_to_fit();
}

bool CardKeys::firstTime(const QVariant &cliente, const QVariant &numCartao, QString *clienteText,
                         QString *numCartaoText)
{
    *clienteText = cliente.isNull() ? QStringLiteral("") : cliente.toString();
    *numCartaoText = numCartao.isNull() ? QStringLiteral("") : numCartao.toString();
    if (!clienteText->isEmpty() && !numCartaoText->isEmpty())
        return true;
    // The length first: no separator character can be confused with the values' own.
    const QString key =
        QString::number(clienteText->size()) + QLatin1Char(':') + *clienteText + *numCartaoText;
    if (m_blank.contains(key))
        return false;
    m_blank.insert(key);
    return true;
}

bool CardKeys::mayBeListedTwice(QStringView cliente, QStringView numCartao)
{
    const auto blank = [](QStringView value) {
        return value.trimmed().isEmpty();
    };
    return blank(cliente) || blank(numCartao);
}

bool CardKeys::sameCard(const QVariant &cliente, const QVariant &numCartao,
                        const QVariant &clienteBefore, const QVariant &numCartaoBefore)
{
    return cliente.isNull() == clienteBefore.isNull() &&
           numCartao.isNull() == numCartaoBefore.isNull() &&
           cliente.toString() == clienteBefore.toString() &&
           numCartao.toString() == numCartaoBefore.toString();
}
