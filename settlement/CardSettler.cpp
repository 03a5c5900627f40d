// SPDX-License-Identifier: MIT
#include "settlement/CardSettler.h"

#include "db/DbConnection.h"
#include "db/Dialect.h"
#include "settlement/PassReport.h"
#include "settlement/PassRun.h"
#include "settlement/SettlementPass.h"

#include <QSqlQuery>

CardSettler::CardSettler(const DbConnection &connection, const PassDates &dates, bool dryRun)
    : m_connection(connection), m_dates(dates), m_dryRun(dryRun)
{
}

QString CardSettler::cardKey(QStringView cliente, QStringView numCartao)
{
    return cliente.toString() + QChar(0x1f) + numCartao.toString();
}

QString CardSettler::unreadableRowsText()
{
    return QStringLiteral("um movimento do cartão tem Pontos que não são um número ou Data que "
                          "não é uma data");
}

void CardSettler::clear()
{
    m_balance.clear();
    m_prepared = false;
}

QSet<QString> CardSettler::unreadableCards(const DbConnection &connection)
{
    QSet<QString> cards;
    const Dialect &dialect = connection.dialect();
    const QString sql = dialect.unreadableRowsSql();
    if (sql.isEmpty())
        return cards;
    QSqlQuery query;
    QString error;
    if (!dialect.dataColumnTypeSql().isEmpty()) {
        // A column of dates holds nothing else: the history need not be read for it.
        QVariant type;
        if (!connection.readOneValue(dialect.dataColumnTypeSql(), QString(), &type, &error) &&
            !error.isEmpty())
            PassRun::fail(error);
        static const QStringList kDateTypes{QStringLiteral("datetime"), QStringLiteral("datetime2"),
                                            QStringLiteral("date"), QStringLiteral("smalldatetime"),
                                            QStringLiteral("datetimeoffset")};
        if (!type.isNull() && kDateTypes.contains(type.toString().trimmed().toLower()))
            return cards;
    }
    if (!connection.prepare(query, sql, &error) || !connection.exec(query, &error))
        PassRun::fail(error);
    while (connection.next(query, &error))
        cards.insert(cardKey(query.value(0).toString(), query.value(1).toString()));
    if (!error.isEmpty() || !connection.finish(query, &error))
        PassRun::fail(error);
    return cards;
}

bool CardSettler::hasUnreadableRows(QStringView cliente, QStringView numCartao) const
{
    return !m_unreadable.isEmpty() && m_unreadable.contains(cardKey(cliente, numCartao));
}

void CardSettler::prepareSums()
{
    if (m_prepared)
        return;
    QString failure;
    if (!m_balance.prepare(m_connection, &failure))
        PassRun::fail(failure);
    m_prepared = true;
}

bool CardSettler::readAhead(const QVector<CardBalance::Key> &cards, QVector<SumsAhead> *sums,
                            QString *error)
{
    prepareSums();
    sums->fill(SumsAhead(), cards.size());
    QVector<std::optional<CardSums>> read;
    if (!m_balance.readMany(cards, m_dates.cutoff, &read, error)) {
        PassRun::failIfLost(m_connection);
        return false;
    }
    // Today's sums only where the old balance is not zero, as a card alone reads them.
    QVector<CardBalance::Key> owing;
    QVector<qsizetype> places;
    for (qsizetype i = 0; i < read.size(); ++i) {
        if (!read.at(i))
            continue;
        SumsAhead &card = (*sums)[i];
        card.read = true;
        card.atCutoff = *read.at(i);
        Currency oldBalance;
        if (LapseRule::balance(card.atCutoff, &oldBalance) && !oldBalance.isZero()) {
            owing.append(cards.at(i));
            places.append(i);
        }
    }
    if (!m_balance.readMany(owing, m_dates.today, &read, error)) {
        PassRun::failIfLost(m_connection);
        return false;
    }
    for (qsizetype i = 0; i < read.size(); ++i) {
        if (read.at(i)) {
            (*sums)[places.at(i)].readToday = true;
            (*sums)[places.at(i)].today = *read.at(i);
        }
    }
    return true;
}

bool CardSettler::readSums(QStringView cliente, QStringView numCartao, const QDate &bound,
                           CardSums *sums, QString *error)
{
    prepareSums();
    switch (m_balance.read(cliente, numCartao, bound, sums, error)) {
    case CardBalance::Read::Ok:
        return true;
    case CardBalance::Read::Unconvertible:
        return false;
    case CardBalance::Read::Failed:
        break;
    }
    PassRun::failIfLost(m_connection);
    // A deadlock's victim: the batch is done again, or, after the last time, the card is left.
    if (m_connection.deadlockVictim())
        return false;
    PassRun::failUnlessTheCardsOwn(m_balance, m_connection, cliente, numCartao, *error);
    return false;
}

CardSettler::Result CardSettler::outcome(SettlementBatch &batch, SettlementBatch::Result result)
{
    switch (result) {
    case SettlementBatch::Result::Done:
        return Result::Done;
    case SettlementBatch::Result::TransactionGone:
        return Result::TransactionGone;
    case SettlementBatch::Result::DeadlockVictim:
        return Result::DeadlockVictim;
    case SettlementBatch::Result::Refused:
        // The batch holds whole cards: it ends as it does on any failure of the pass.
        PassRun::fail(batch.error());
    case SettlementBatch::Result::Failed:
        break;
    }
    // Part of a card may be in the batch: it goes back whole before the pass fails.
    const QString error = batch.error();
    batch.discard();
    PassRun::fail(error);
}

CardSettler::Result CardSettler::unread(SettlementBatch &batch, QStringView numCartao,
                                        const QString &description)
{
    return outcome(batch, batch.cardUnread(numCartao.toString(), description));
}

CardSettler::Result CardSettler::post(SettlementBatch &batch, const QVector<CardRows> &cards)
{
    return outcome(batch, batch.postCards(cards));
}

CardSettler::Result CardSettler::settle(SettlementBatch &batch, QStringView cliente,
                                        QStringView numCartao, const SumsAhead *ahead)
{
    if (hasUnreadableRows(cliente, numCartao))
        return unread(batch, numCartao, unreadableRowsText());
    if (ahead && !ahead->read)
        ahead = nullptr;
    CardSums atCutoff;
    QString error;
    if (ahead)
        atCutoff = ahead->atCutoff;
    else if (!readSums(cliente, numCartao, m_dates.cutoff, &atCutoff, &error))
        return unread(batch, numCartao, error);
    Currency oldBalance;
    if (!LapseRule::balance(atCutoff, &oldBalance))
        return unread(batch, numCartao, QStringLiteral("saldo fora do intervalo"));
    if (oldBalance.isZero())
        return Result::Done; // nothing lapses: today's balance is not read
    // Today's sums are read before anything is posted: the lapse is capped by what the card
    // holds today, and the lift follows from the same reading.
    CardSums today;
    if (ahead && ahead->readToday)
        today = ahead->today;
    else if (!readSums(cliente, numCartao, m_dates.today, &today, &error))
        return unread(batch, numCartao, error);
    CardAdjustments plan;
    if (!LapseRule::adjust(atCutoff, today, &plan))
        return unread(batch, numCartao, QStringLiteral("saldo fora do intervalo"));
    if (plan.postsNothing())
        return Result::Done;
    return outcome(batch, batch.postCard(rows(cliente, numCartao, plan)));
}

CardRows CardSettler::rows(QStringView cliente, QStringView numCartao,
                           const CardAdjustments &plan) const
{
    CardRows card;
    HistoryEntry row;
    row.Terceiro = cliente.toString();
    row.CliFor = QStringLiteral("C");
    row.NumCartao = numCartao.toString();
    row.Tipo = QStringLiteral("");
    row.Numero = QStringLiteral("");
    const QString cardLine =
        PassReport::cardSettledLine(row.NumCartao, m_dates.strDataLimite, m_dryRun);
    // A preview shows each row where the pass would post it.
    const auto add = [&](const HistoryEntry &entry) {
        card.rows.append(entry);
        if (m_dryRun)
            card.lines.append(PassReport::previewRowLine(entry));
    };
    const bool atCutoff = !plan.lapse.isZero() || !plan.refill.isZero();
    if (atCutoff) {
        const bool lapse = !plan.lapse.isZero();
        const Currency amount = lapse ? plan.lapse : plan.refill;
        row.Data = m_dates.cutoff;
        row.Afecta = lapse ? QStringLiteral("-") : QStringLiteral("+");
        row.ValorIncid = amount;
        row.Pontos = amount;
        // A refill's note shows the deficit it makes good, as a negative number.
        Currency shown = amount;
        if (!lapse && !Currency::subtract(Currency(), amount, &shown))
            shown = amount;
        row.Observa = PassReport::oldBalanceNote(shown);
        add(row);
        card.lines.append(cardLine);
    }
    if (!plan.lift.isZero()) {
        // Dated today: dated at the cutoff it would count in the next pass's old balance and
        // be settled, and lifted, again on every pass.
        row.Data = m_dates.today;
        row.Afecta = QStringLiteral("+");
        row.ValorIncid = plan.lift;
        row.Pontos = plan.lift;
        row.Observa = PassReport::negativeBalanceNote(m_dates.strDataHoje);
        add(row);
        if (!atCutoff)
            card.lines.append(cardLine);
    }
    return card;
}
