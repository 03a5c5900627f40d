// SPDX-License-Identifier: MIT
#include "settlement/LedgerAudit.h"

#include "db/Dialect.h"
#include "settlement/CardList.h"
#include "settlement/PassHost.h"
#include "settlement/PassLock.h"
#include "settlement/PassReport.h"

#include <QSqlQuery>

namespace {

// A moment of the history as its wall-clock time, with no time zone to look up for each row:
// a date-time from ODBC, ISO text (yyyy-mm-dd hh:mm:ss) from SQLite or from a convert.
QDateTime momentOf(const QVariant &value)
{
    if (value.isNull())
        return {};
    if (value.typeId() == QMetaType::QDateTime) {
        const QDateTime local = value.toDateTime();
        return QDateTime(local.date(), local.time(), Qt::UTC);
    }
    if (value.typeId() == QMetaType::QDate)
        return QDateTime(value.toDate(), QTime(0, 0), Qt::UTC);
    const QString text = value.toString().trimmed();
    const QDate day = QDate::fromString(text.left(10), Qt::ISODate);
    // hh:mm:ss read by hand: the format parser costs more than the rest of the row.
    QTime time(0, 0);
    const auto digits = [&text](int at) {
        return text.at(at).digitValue() * 10 + text.at(at + 1).digitValue();
    };
    if (text.size() >= 19 && text.at(13) == QLatin1Char(':') && text.at(16) == QLatin1Char(':'))
        time = QTime(digits(11), digits(14), digits(17));
    return QDateTime(day, time.isValid() ? time : QTime(0, 0), Qt::UTC);
}

QDateTime wallClock(const QDateTime &moment)
{
    return QDateTime(moment.date(), moment.time(), Qt::UTC);
}

QDate dateOf(const QVariant &value)
{
    return momentOf(value).date();
}

QString isoDay(const QDate &day)
{
    return day.toString(Qt::ISODate);
}

QString lotName(const LotLedger::Lot &lot)
{
    return QStringLiteral("lote de %1 (%2, caduca a %3)")
        .arg(isoDay(lot.day), lot.earned.toText(), isoDay(LotLedger::lapseDay(lot.day)));
}

QString takenText(const std::vector<LotLedger::Taken> &taken)
{
    QStringList parts;
    for (const LotLedger::Taken &each : taken)
        parts << each.points.toText() + QStringLiteral(" do ") + lotName(each.lot);
    return parts.join(QStringLiteral("; "));
}

// A card's story as the ledger replays it, a line a step.
class Story final : public LotLedger::Observer
{
public:
    explicit Story(AuditOutput &output) : m_output(output) {}
    void movement(const LedgerRow &row, LotLedger::Kind kind,
                  const std::vector<LotLedger::Taken> &taken, Currency deficit) override
    {
        QString text = rowText(row);
        if (kind == LotLedger::Kind::Earning) {
            Currency paid;
            Currency::subtract(m_deficit, deficit, &paid);
            Currency lot;
            row.pontos.absolute(&lot);
            Currency::subtract(lot, paid, &lot);
            text += QStringLiteral("ganho:");
            if (!paid.isZero())
                text += QStringLiteral(" paga %1 em falta;").arg(paid.toText());
            if (!lot.isZero())
                text +=
                    QStringLiteral(" abre o lote de %1 (%2, caduca a %3)")
                        .arg(isoDay(row.day), lot.toText(), isoDay(LotLedger::lapseDay(row.day)));
        } else {
            text += QStringLiteral("gasto: ") +
                    (taken.empty() ? QStringLiteral("nenhum lote") : takenText(taken));
            Currency owed;
            Currency::subtract(deficit, m_deficit, &owed);
            if (!owed.isZero())
                text += QStringLiteral("; %1 além dos lotes, em falta").arg(owed.toText());
        }
        m_deficit = deficit;
        m_output.story(text);
    }
    void lapsed(const QDate &day, const std::vector<LotLedger::Taken> &lots) override
    {
        m_output.story(isoDay(day) + QStringLiteral("  verificação: caducam ") + takenText(lots));
    }
    void adjustment(const LedgerRow &row, LotLedger::Kind kind, Currency amount) override
    {
        QString text = rowText(row) + row.observa + QStringLiteral(" (verificação de ") +
                       isoDay(row.passDay) + QStringLiteral("): ");
        Currency apart;
        if (kind == LotLedger::Kind::Lapse) {
            Currency::subtract(row.pontos, amount, &apart);
            text += QStringLiteral("os lotes tinham %1 por gastar").arg(amount.toText());
            if (!apart.isZero())
                text += QStringLiteral(", caducou %1 a %2")
                            .arg(apart.absolute(&apart) ? apart.toText() : QString(),
                                 row.pontos < amount ? QStringLiteral("menos")
                                                     : QStringLiteral("mais"));
        } else {
            Currency::subtract(row.pontos, amount, &apart);
            text += QStringLiteral("perdoa %1 em falta").arg(amount.toText());
            if (!apart.isZero())
                text +=
                    QStringLiteral(", e dá %1 pontos que os lotes não devem").arg(apart.toText());
            Currency::subtract(m_deficit, amount, &m_deficit);
        }
        m_output.story(text);
    }

private:
    static QString rowText(const LedgerRow &row)
    {
        return isoDay(row.data) + QStringLiteral("  ") +
               (row.plus ? QLatin1Char('+') : QLatin1Char('-')) + QLatin1Char(' ') +
               row.pontos.toText() + QStringLiteral("  ");
    }
    AuditOutput &m_output;
    Currency m_deficit;
};

constexpr int kWholeReadSeconds = 3600;

} // namespace

LedgerAudit::LedgerAudit(const ConnectionSettings &settings, PassHost &host, const Clock &clock,
                         ConnectionOptions options, AuditOutput &output)
    : m_settings(settings), m_host(host), m_clock(clock), m_options(std::move(options)),
      m_output(output)
{
    m_options.readOnly = true;
}

LedgerAudit::~LedgerAudit()
{
    release();
}

void LedgerAudit::release()
{
    if (m_cnLigacao && m_cnLigacao->isOpen())
        m_cnLigacao->close();
    m_cnLigacao.reset();
}

bool LedgerAudit::ledgerRow(const QSqlQuery &query, int first, LedgerRow *row, QString *error)
{
    row->day = dateOf(query.value(first));
    row->plus = query.value(first + 1).toString() == QLatin1String("+");
    row->observa = query.value(first + 3).toString();
    row->data = dateOf(query.value(first + 5));
    if (!row->day.isValid()) {
        *error = QStringLiteral("data fora do intervalo: %1").arg(query.value(first).toString());
        return false;
    }
    // A row without an amount counts for nothing, as in the sums.
    const QVariant pontos = query.value(first + 2);
    if (!pontos.isNull() && !Currency::fromVariant(pontos, &row->pontos, error))
        return false;
    row->dataSys = momentOf(query.value(first + 4));
    const LotLedger::Kind kind = LotLedger::kindOf(*row);
    if (kind != LotLedger::Kind::Earning && kind != LotLedger::Kind::Spending)
        row->passDay = LotLedger::passDayOf(kind, row->data, row->dataSys);
    return true;
}

bool LedgerAudit::difference(const LotLedger::Totals &totals, Currency *whole)
{
    Currency apart;
    return Currency::subtract(totals.book, totals.ledger, &apart) && apart.roundToWhole(whole);
}

PassOutcome LedgerAudit::run()
{
    m_stats = {};
    PassRun::Steps steps;
    steps.lock = false;
    steps.body = [this] {
        return auditAll();
    };
    steps.release = [this] {
        release();
    };
    return PassRun(m_settings, m_options, m_host, m_clock).run(m_cnLigacao, m_lock, steps);
}

PassOutcome LedgerAudit::explain(const QString &numCartao, const QString &cliente)
{
    PassRun::Steps steps;
    steps.lock = false;
    steps.body = [&] {
        return explainCard(numCartao, cliente);
    };
    steps.release = [this] {
        release();
    };
    return PassRun(m_settings, m_options, m_host, m_clock).run(m_cnLigacao, m_lock, steps);
}

void LedgerAudit::tell(const QString &cliente, const QString &numCartao,
                       std::vector<LedgerRow> &rows)
{
    m_output.story(QStringLiteral("Cartão nº %1 do cliente %2, em %3")
                       .arg(numCartao, cliente, isoDay(m_now.date())));
    LotLedger ledger;
    Story story(m_output);
    if (!ledger.replay(std::move(rows), m_now, &story))
        PassRun::fail(QStringLiteral("saldo fora do intervalo"));
    const LotLedger::Totals &t = ledger.totals();
    Currency exact;
    if (!Currency::subtract(t.book, t.ledger, &exact))
        PassRun::fail(QStringLiteral("saldo fora do intervalo"));
    m_output.story(QStringLiteral("Saldo pelo livro: %1; pelos lotes: %2; diferença: %3. "
                                  "Caducados pelo livro: %4; pelos lotes: %5.")
                       .arg(t.book.toText(), t.ledger.toText(), exact.toText(),
                            t.bookLapsed.toText(), t.ledgerLapsed.toText()));
    QStringList open;
    for (const LotLedger::Lot &lot : ledger.openLots())
        open << QStringLiteral("%1 do ").arg(lot.left.toText()) + lotName(lot);
    if (!ledger.deficit().isZero())
        open << QStringLiteral("%1 em falta").arg(ledger.deficit().toText());
    m_output.story(QStringLiteral("Lotes em aberto: ") +
                   (open.isEmpty() ? QStringLiteral("nenhum") : open.join(QStringLiteral("; "))));
    ++m_stats.cardsRead;
}

PassOutcome LedgerAudit::explainCard(const QString &numCartao, const QString &cliente)
{
    m_now = wallClock(m_clock.now());
    QString error;
    QSqlQuery query;
    if (!m_cnLigacao->prepare(query, m_cnLigacao->dialect().cardLedgerRowsSql(), &error) ||
        !m_cnLigacao->exec(query, {numCartao}, &error)) {
        PassRun::failIfLost(*m_cnLigacao);
        PassRun::fail(error);
    }
    std::vector<LedgerRow> rows;
    QString current;
    bool any = false;
    while (m_cnLigacao->next(query, &error)) {
        const QString terceiro = query.value(0).toString();
        if (!cliente.isNull() && terceiro != cliente)
            continue;
        if (any && terceiro != current)
            tell(current, numCartao, rows);
        if (!any || terceiro != current)
            rows.clear();
        any = true;
        current = terceiro;
        LedgerRow row;
        if (!ledgerRow(query, 1, &row, &error))
            PassRun::fail(error);
        rows.push_back(std::move(row));
    }
    if (!error.isEmpty()) {
        PassRun::failIfLost(*m_cnLigacao);
        PassRun::fail(error);
    }
    if (!any)
        PassRun::fail(QStringLiteral("o cartão nº %1 não tem movimentos%2 no histórico")
                          .arg(numCartao, cliente.isNull()
                                              ? QString()
                                              : QStringLiteral(" do cliente ") + cliente));
    tell(current, numCartao, rows);
    release();
    return PassOutcome::Completed;
}

void LedgerAudit::cardFailed(const QString &numCartao, const QString &description)
{
    ++m_stats.cardsFailed;
    m_host.append(PassReport::cardFailureLine(numCartao, description));
    m_host.refresh();
}

void LedgerAudit::endCard(const QString &cliente, const QString &numCartao,
                          std::vector<LedgerRow> &rows)
{
    LotLedger ledger;
    AuditLine line;
    Currency apart;
    if (!ledger.replay(std::move(rows), m_now) || !difference(ledger.totals(), &apart)) {
        cardFailed(numCartao, QStringLiteral("saldo fora do intervalo"));
        return;
    }
    Currency magnitude;
    Currency &side = apart.isNegative() ? m_stats.below : m_stats.above;
    if (!apart.absolute(&magnitude) || !Currency::add(side, magnitude, &side)) {
        cardFailed(numCartao, QStringLiteral("saldo fora do intervalo"));
        return;
    }
    ++m_stats.cardsRead;
    if (!apart.isZero())
        ++m_stats.cardsDiffering;
    line.cliente = cliente;
    line.numCartao = numCartao;
    line.totals = ledger.totals();
    line.open.assign(ledger.openLots().begin(), ledger.openLots().end());
    m_output.line(line);
}

PassOutcome LedgerAudit::auditAll()
{
    m_now = wallClock(m_clock.now());
    const QString clockLine = PassReport::clockLine(m_clock.offsetMs());
    if (!clockLine.isEmpty()) {
        m_host.append(clockLine);
        m_host.refresh();
    }
    QString error;
    const qint64 total = PassRun::countCards(*m_cnLigacao);
    const QString setup = m_cnLigacao->dialect().wholeHistoryReadSql();
    if (!setup.isEmpty() && !m_cnLigacao->run(setup, &error))
        PassRun::fail(error);
    QSqlQuery query;
    const bool prepared =
        m_cnLigacao->prepare(query, m_cnLigacao->dialect().ledgerRowsSql(), &error);
    // A million cards' rows, joined and sorted, take the server minutes before the first.
    if (prepared)
        m_cnLigacao->allowSeconds(query, kWholeReadSeconds);
    if (!prepared || !m_cnLigacao->exec(query, &error)) {
        PassRun::failIfLost(*m_cnLigacao);
        PassRun::fail(error);
    }
    m_output.begin();
    // A card's rows follow each other: it is replayed when the next card's first row comes.
    CardKeys keys;
    QVariant rawCliente;
    QVariant rawNumCartao;
    QString cliente;
    QString numCartao;
    std::vector<LedgerRow> rows;
    bool inCard = false;
    bool skipped = false; // a card listed before (NULL as the empty text), or failed
    qint64 listed = 0;
    const auto sameCard = [&] {
        return inCard &&
               CardKeys::sameCard(query.value(0), query.value(1), rawCliente, rawNumCartao);
    };
    const auto finishCard = [&] {
        if (inCard && !skipped)
            endCard(cliente, numCartao, rows);
        if (inCard)
            m_host.progress(++listed, qMax(total, listed));
        rows.clear();
        inCard = false;
    };
    QString fetchFailure;
    bool stopped = false;
    while (m_cnLigacao->next(query, &fetchFailure)) {
        if (m_host.stopRequested()) {
            stopped = true;
            break;
        }
        if (!sameCard()) {
            finishCard();
            rawCliente = query.value(0);
            rawNumCartao = query.value(1);
            inCard = true;
            skipped = !keys.firstTime(rawCliente, rawNumCartao, &cliente, &numCartao);
        }
        if (skipped || query.value(2).isNull())
            continue;
        LedgerRow row;
        if (!ledgerRow(query, 2, &row, &error)) {
            cardFailed(numCartao, error);
            skipped = true;
            continue;
        }
        rows.push_back(std::move(row));
    }
    if (!fetchFailure.isEmpty()) {
        PassRun::failIfLost(*m_cnLigacao);
        PassRun::fail(fetchFailure);
    }
    if (stopped) {
        query.finish();
        release();
        return PassOutcome::Stopped;
    }
    finishCard();
    if (!m_cnLigacao->finish(query, &fetchFailure))
        PassRun::fail(fetchFailure);
    release();
    m_host.append(
        PassReport::timestamp(m_clock.now()) +
        QStringLiteral("   Auditoria dos lotes: %1 cartões lidos, %2 diferem do livro "
                       "de lotes; %3 pontos nos cartões que os lotes dão por "
                       "caducados, %4 pontos caducados que os lotes dão por gastar.")
            .arg(m_stats.cardsRead)
            .arg(m_stats.cardsDiffering)
            .arg(m_stats.above.toText(), m_stats.below.toText()) +
        (m_stats.cardsFailed > 0
             ? QStringLiteral(" %1 cartões não puderam ser lidos.").arg(m_stats.cardsFailed)
             : QString()) +
        PassReport::kCrLf);
    m_host.refresh();
    return PassOutcome::Completed;
}
