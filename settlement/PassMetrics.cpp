// SPDX-License-Identifier: MIT
#include "settlement/PassMetrics.h"
#include "settlement/PassReport.h"

#include "report/ReportSink.h"
#include "settlement/Clock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cmath>

namespace PassMetrics {

namespace {

const QByteArray kLastSuccess = QByteArrayLiteral("velmora_pass_last_success_timestamp_seconds");

// An earlier file is read only this far: the figures are at its start.
constexpr qint64 kReadLimit = qint64{64} * 1024;

QByteArray seconds(double value)
{
    return QByteArray::number(value, 'f', 3);
}

// What a gauge is, whatever its value.
struct Gauge
{
    const char *name;
    const char *help;
    QByteArray labels = {};
};

// A gauge with its HELP and TYPE lines.
void gauge(QByteArray &out, const Gauge &what, const QByteArray &value)
{
    out += QByteArrayLiteral("# HELP ") + what.name + ' ' + what.help + '\n';
    out += QByteArrayLiteral("# TYPE ") + what.name + QByteArrayLiteral(" gauge\n");
    out += what.name + what.labels + ' ' + value + '\n';
}

} // namespace

QString outcomeLabel(PassOutcome outcome, const PassStats &stats)
{
    switch (outcome) {
    case PassOutcome::Completed:
        return stats.someCardsLeft() ? QStringLiteral("refused") : QStringLiteral("completed");
    case PassOutcome::NoConnection:
        return QStringLiteral("no_connection");
    case PassOutcome::Busy:
        return QStringLiteral("busy");
    case PassOutcome::Stopped:
        return QStringLiteral("interrupted");
    case PassOutcome::Failed:
        break;
    }
    return QStringLiteral("failed");
}

QByteArray text(const Pass &pass, double lastSuccess)
{
    const QString outcome = outcomeLabel(pass.outcome, pass.stats);
    const double ended = static_cast<double>(pass.ended.toMSecsSinceEpoch()) / 1000.0;
    if (outcome == QLatin1String("completed"))
        lastSuccess = ended;
    const auto number = [](qint64 n) {
        return QByteArray::number(n);
    };
    QByteArray out;
    gauge(out,
          {"velmora_pass_last_end_timestamp_seconds",
           "When the last pass ended, in seconds since the epoch; outcome is how it ended.",
           "{outcome=\"" + outcome.toLatin1() + "\"}"},
          seconds(ended));
    gauge(out,
          {kLastSuccess.constData(),
           "When a pass last ended normally (outcome completed), in seconds since the epoch; 0 "
           "before the first."},
          seconds(lastSuccess));
    gauge(out, {"velmora_pass_duration_seconds", "How long the last pass took."},
          seconds(static_cast<double>(pass.durationMs) / 1000.0));
    gauge(out, {"velmora_pass_cards_read", "Cards that the last pass read."},
          number(pass.stats.cardsRead));
    gauge(out, {"velmora_pass_cards_settled", "Cards that the last pass settled."},
          number(pass.stats.cardsSettled));
    gauge(out, {"velmora_pass_rows_posted", "Adjustment rows that the last pass posted."},
          number(pass.stats.rowsPosted));
    gauge(out,
          {"velmora_pass_rows_refused",
           "Adjustment rows that the database refused in the last pass."},
          number(pass.stats.rowsFailed));
    gauge(out, {"velmora_pass_points_lapsed", "Points that the rows of the last pass took away."},
          pass.stats.pointsLapsed.toText().toLatin1());
    gauge(out,
          {"velmora_pass_points_lifted",
           "Points that the rows of the last pass gave back: refills and lifts."},
          pass.stats.pointsLifted.toText().toLatin1());
    gauge(out,
          {"velmora_pass_clock_offset_seconds",
           "The database server's clock less this machine's, as the last pass read it; 0 where "
           "it ran by this machine's clock."},
          seconds(static_cast<double>(pass.stats.clockOffsetMs) / 1000.0));
    return out;
}

double lastSuccess(const QByteArray &previous)
{
    for (const QByteArray &line : previous.split('\n')) {
        if (!line.startsWith(kLastSuccess) || line.size() <= kLastSuccess.size() ||
            (line.at(kLastSuccess.size()) != ' ' && line.at(kLastSuccess.size()) != '\t'))
            continue;
        const QList<QByteArray> fields = line.mid(kLastSuccess.size()).simplified().split(' ');
        bool ok = false;
        const double value = fields.value(0).toDouble(&ok);
        return ok && std::isfinite(value) && value > 0 ? value : 0;
    }
    return 0;
}

QString pathRefusal(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() || (info.isFile() && !info.isSymLink()) ||
        (info.isSymLink() && QFileInfo(info.symLinkTarget()).isFile()))
        return {};
    return QStringLiteral("%1 existe e não é um ficheiro normal")
        .arg(QDir::toNativeSeparators(path));
}

bool write(const QString &path, const Pass &pass, QString *error)
{
    *error = pathRefusal(path);
    if (!error->isEmpty())
        return false;
    double previous = 0;
    QFile earlier(path);
    if (earlier.open(QIODevice::ReadOnly))
        previous = lastSuccess(earlier.read(kReadLimit));
    earlier.close();

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    const QByteArray content = text(pass, previous);
    if (file.write(content) != content.size() ||
        !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                             QFile::ReadOther)) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

void record(const QString &path, const Pass &pass, ReportSink &report)
{
    QString error;
    if (write(path, pass, &error))
        return;
    report.append(
        PassReport::timestamp(pass.ended) + QStringLiteral("   Falha ao gravar as métricas em ") +
        QDir::toNativeSeparators(path) + QStringLiteral(" -> ") + error + QStringLiteral("\r\n"));
    report.caretToEnd();
    report.refresh();
}

Recorder::Recorder(QString path, const Clock &clock) : m_path(std::move(path)), m_clock(clock)
{
    m_started.start();
}

void Recorder::record(PassOutcome outcome, const PassStats &stats, ReportSink &report) const
{
    if (!m_path.isEmpty())
        PassMetrics::record(m_path, {outcome, stats, m_clock.now(), m_started.elapsed()}, report);
}

} // namespace PassMetrics
