// SPDX-License-Identifier: MIT
#include "db/DbConnection.h"

#include "db/ConnectionSettings.h"
#include "db/Dialect.h"
#include "report/ReportSink.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>

namespace {
QAtomicInteger<quint64> g_connectionCounter;
DbConnection::StatementObserver g_observer;

// Why a SQLite file could not be opened, or made, as far as the file system tells; empty when
// it does not.
QString whyNotOpened(const QFileInfo &file, bool creating)
{
    const QFileInfo folder(file.absolutePath());
    const QString folderName = QDir::toNativeSeparators(folder.absoluteFilePath());
    if (!folder.exists())
        return QStringLiteral("a pasta %1 não existe").arg(folderName);
    if (!folder.isDir())
        return QStringLiteral("%1 não é uma pasta").arg(folderName);
    if (file.isDir())
        return QStringLiteral("é uma pasta");
    if (!file.exists()) {
        if (creating)
            return folder.isWritable()
                       ? QString()
                       : QStringLiteral("sem permissão para escrever na pasta %1").arg(folderName);
        return folder.isExecutable()
                   ? QStringLiteral("o ficheiro não existe")
                   : QStringLiteral("sem permissão para entrar na pasta %1").arg(folderName);
    }
    if (!file.isReadable())
        return QStringLiteral("sem permissão para ler o ficheiro");
    QFile probe(file.absoluteFilePath());
    return probe.open(QIODevice::ReadOnly) ? QString() : probe.errorString();
}
DbConnection::ErrorCodeFilter g_errorCodeFilter;
} // namespace

void DbConnection::setErrorCodeFilter(ErrorCodeFilter filter)
{
    g_errorCodeFilter = std::move(filter);
}

void DbConnection::setStatementObserver(StatementObserver observer)
{
    g_observer = std::move(observer);
}

DbConnection::DbConnection()
    : m_name(QStringLiteral("velmora-%1").arg(g_connectionCounter.fetchAndAddRelaxed(1) + 1)),
      m_dialect(&Dialect::sqlite())
{
}

DbConnection::~DbConnection()
{
    if (QSqlDatabase::contains(m_name)) {
        {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            if (db.isOpen())
                db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }
}

bool DbConnection::open(const ConnectionSettings &settings, const ConnectionOptions &options,
                        QString *error)
{
    m_target = ConnectionString::build(settings, options);
    const ConnectionTarget &target = m_target;
    m_lost = false;
    m_deadlockVictim = false;
    m_lostReason.clear();
    m_wholeRefusal.clear();
    m_databaseName =
        target.backend == ConnectionTarget::Backend::Sqlite
            ? QFileInfo(target.file).absoluteFilePath()
            : settings.strBaseDados + QStringLiteral(" no servidor ") + settings.strServidor;
    m_dialect = target.backend == ConnectionTarget::Backend::Odbc ? &Dialect::sqlServer()
                                                                  : &Dialect::sqlite();
    if (!target.refusal.isEmpty()) {
        *error = target.refusal;
        return false;
    }
    if (!QSqlDatabase::isDriverAvailable(target.driverName)) {
        *error = QStringLiteral("o controlador %1 do Qt não está instalado").arg(target.driverName);
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(target.driverName, m_name);
    db.setDatabaseName(target.databaseName);
    db.setConnectOptions(target.connectOptions);
    // Sums of money columns arrive as exact decimal text rather than doubles.
    db.setNumericalPrecisionPolicy(QSql::HighPrecision);
    if (!db.open()) {
        if (target.backend == ConnectionTarget::Backend::Sqlite) {
            *error = sqliteOpenFailure(db.lastError(), target.file, false);
        } else {
            *error = describe(db.lastError());
            if (target.backend == ConnectionTarget::Backend::Odbc)
                *error += ConnectionString::encryptionHint(options);
        }
        return false;
    }
    // A plain batch: a driver may run a prepared statement as a procedure of its own
    // (sp_prepexec), and a SET inside one ends with it.
    const QString setup = m_dialect->sessionSetupSql();
    if (!setup.isEmpty() && !runDirect(setup, error)) {
        db.close();
        return false;
    }
    return true;
}

bool DbConnection::isOpen() const
{
    return QSqlDatabase::contains(m_name) && QSqlDatabase::database(m_name, false).isOpen();
}

void DbConnection::close()
{
    if (QSqlDatabase::contains(m_name))
        QSqlDatabase::database(m_name, false).close();
}

QSqlDatabase DbConnection::database() const
{
    return QSqlDatabase::database(m_name, false);
}

QSqlQuery DbConnection::newQuery() const
{
    QSqlQuery query(database());
    query.setForwardOnly(true);
    query.setNumericalPrecisionPolicy(QSql::HighPrecision);
    return query;
}

bool DbConnection::refuseWhenLost(QString *error) const
{
    if (m_lost)
        *error = m_lostReason;
    return m_lost;
}

void DbConnection::nameDamagedFile(const QSqlQuery &failed, QString *error) const
{
    // SQLITE_CORRUPT and SQLITE_NOTADB say nothing of which file, as a missing file's line does.
    if (m_target.backend != ConnectionTarget::Backend::Sqlite)
        return;
    for (const qint64 code : errorCodes(failed)) {
        if ((code & 0xff) == 11 || (code & 0xff) == 26) {
            *error += QStringLiteral(": ") + QDir::toNativeSeparators(m_databaseName);
            return;
        }
    }
}

void DbConnection::checkLost(const QSqlQuery *failed, const QString &description) const
{
    if (m_dialect->deadlockVictim(database(), failed))
        m_deadlockVictim = true;
    if (!m_lost && m_dialect->connectionLost(database(), failed)) {
        m_lost = true;
        // A statement that ran out of time tells so first; what follows (a write that failed
        // on the dead connection) only came of it.
        const QString first = failed ? m_dialect->firstError(*failed) : QString();
        m_lostReason = first.isEmpty() ? description : first;
    }
}

QList<qint64> DbConnection::errorCodes(const QSqlQuery &failed) const
{
    QList<qint64> codes = m_dialect->errorCodes(failed);
    if (g_errorCodeFilter)
        g_errorCodeFilter(failed, &codes);
    return codes;
}

void DbConnection::checkWholeRefusal(const QSqlQuery &failed, const QString &description) const
{
    if (m_lost)
        return;
    const QString cause = m_dialect->wholeRefusal(errorCodes(failed));
    if (!cause.isEmpty())
        m_wholeRefusal = QStringLiteral("a base de dados %1 não aceita gravações: %2 (%3)")
                             .arg(m_databaseName, cause, description);
}

bool DbConnection::prepare(QSqlQuery &query, const QString &sql, QString *error) const
{
    query = newQuery();
    m_wholeRefusal.clear();
    if (refuseWhenLost(error))
        return false;
    if (!query.prepare(sql)) {
        *error = describe(query.lastError());
        nameDamagedFile(query, error);
        checkLost(&query, *error);
        checkWholeRefusal(query, *error);
        return false;
    }
    m_dialect->prepared(query, m_target.statementSeconds);
    return true;
}

void DbConnection::allowSeconds(QSqlQuery &query, int seconds) const
{
    m_dialect->prepared(query, seconds);
}

bool DbConnection::exec(QSqlQuery &query, const QVariantList &values, QString *error) const
{
    m_wholeRefusal.clear();
    if (refuseWhenLost(error))
        return false;
    if (g_observer)
        g_observer(&query, values);
    std::unique_ptr<Dialect::BoundValues> bound;
    if (!m_dialect->bind(query, values, &bound, error))
        return false;
    if (query.exec())
        return true;
    *error = describe(query.lastError());
    nameDamagedFile(query, error);
    checkLost(&query, *error);
    checkWholeRefusal(query, *error);
    return false;
}

bool DbConnection::next(QSqlQuery &query, QString *error) const
{
    error->clear();
    if (query.next())
        return true;
    if (query.lastError().isValid()) {
        *error = describe(query.lastError());
        nameDamagedFile(query, error);
        checkLost(&query, *error);
    }
    return false;
}

bool DbConnection::nextResult(QSqlQuery &query, QString *error) const
{
    error->clear();
    if (query.nextResult())
        return true;
    if (query.lastError().isValid()) {
        *error = describe(query.lastError());
        checkLost(&query, *error);
    }
    return false;
}

bool DbConnection::finish(QSqlQuery &query, QString *error) const
{
    QString failure;
    while (next(query, &failure)) {
    }
    query.finish();
    if (failure.isEmpty())
        return true;
    *error = failure;
    return false;
}

bool DbConnection::run(const QString &sql, QString *error) const
{
    QSqlQuery query;
    const bool ok = prepare(query, sql, error) && exec(query, error) && finish(query, error);
    query.finish();
    return ok;
}

bool DbConnection::runDirect(const QString &sql, QString *error) const
{
    m_wholeRefusal.clear();
    if (refuseWhenLost(error))
        return false;
    QSqlQuery query = newQuery();
    if (!query.exec(sql)) {
        *error = describe(query.lastError());
        checkLost(&query, *error);
        checkWholeRefusal(query, *error);
        return false;
    }
    const bool ok = finish(query, error);
    query.finish();
    return ok;
}

bool DbConnection::readOneValue(QSqlQuery &query, const QVariantList &values, const QString &noRow,
                                QVariant *value, QString *error) const
{
    if (!exec(query, values, error))
        return false;
    if (!next(query, error)) {
        if (error->isEmpty())
            *error = noRow;
        return false;
    }
    *value = query.value(0);
    return finish(query, error);
}

bool DbConnection::readOneValue(const QString &sql, const QString &noRow, QVariant *value,
                                QString *error) const
{
    QSqlQuery query;
    return prepare(query, sql, error) && readOneValue(query, {}, noRow, value, error);
}

bool DbConnection::beginTransaction(QString *error) const
{
    if (refuseWhenLost(error))
        return false;
    m_deadlockVictim = false;
    QSqlDatabase db = database();
    if (db.transaction())
        return true;
    *error = describe(db.lastError());
    checkLost(nullptr, *error);
    return false;
}

bool DbConnection::commit(QString *error) const
{
    if (refuseWhenLost(error))
        return false;
    if (g_observer)
        g_observer(nullptr, {});
    QSqlDatabase db = database();
    if (db.commit())
        return true;
    *error = describe(db.lastError());
    checkLost(nullptr, *error);
    return false;
}

void DbConnection::rollback() const
{
    if (!m_lost)
        database().rollback();
}

QString DbConnection::describe(const QSqlError &error)
{
    QString own = error.databaseText().trimmed();
    if (!own.isEmpty())
        return own;
    const QString text = error.text().trimmed();
    return text.isEmpty() ? QStringLiteral("erro desconhecido da base de dados") : text;
}

QString DbConnection::sqliteOpenFailure(const QSqlError &error, const QString &file, bool creating)
{
    const QFileInfo info(file);
    const QString reason = whyNotOpened(info, creating);
    return describe(error) + QStringLiteral(": ") +
           QDir::toNativeSeparators(info.absoluteFilePath()) +
           (reason.isEmpty() ? QString() : QStringLiteral(" (") + reason + QLatin1Char(')'));
}

bool LigarServidor(ConnectionPtr &cnLigacao, const ConnectionSettings &settings,
                   const ConnectionOptions &options, ReportSink &report)
{
    if (ConnectionSettings::isBlank(settings.strServidor))
        return false;

    if (cnLigacao && cnLigacao->isOpen())
        cnLigacao->close();
    cnLigacao.reset();
    cnLigacao = std::make_unique<DbConnection>();

    QString error;
    if (!cnLigacao->open(settings, options, &error)) {
        report.append(QStringLiteral("Falha na Ligação ao Servidor! -> ") + error +
                      QStringLiteral("\r\n"));
        return false;
    }
    return true;
}
