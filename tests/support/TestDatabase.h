// SPDX-License-Identifier: MIT
#pragma once

#include "db/ConnectionSettings.h"

#include <QDate>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>
#include <QVector>

/// A real SQLite file in a temporary folder, with the scheme's two tables, and a connection of
/// its own for the test to fill and inspect it.
class TestDatabase
{
public:
    TestDatabase();
    ~TestDatabase();
    TestDatabase(const TestDatabase &) = delete;
    TestDatabase &operator=(const TestDatabase &) = delete;

    bool isValid() const { return m_valid; }
    QString path() const { return m_path; }
    QString folder() const { return m_dir.path(); }
    /// "file;main;;;SQLITE;" settings for this file.
    ConnectionSettings settings() const;
    QSqlDatabase db() const;

    void addCard(const QString &cliente, const QString &numCartao);
    /// A card and its movements, each "+ 100 2024-12-06" or "- 5 2025-12-06 15:30:00" (sign,
    /// points, date); a sign written "F+" or "F-" makes it a supplier's row.
    void addCard(const QString &cliente, const QString &numCartao, const QStringList &movements);
    /// One movement; `data` is "yyyy-MM-dd" or "yyyy-MM-dd hh:mm:ss"; `pontos` a decimal text.
    void addMovement(const QString &cliente, const QString &numCartao, const QString &afecta,
                     const QString &pontos, const QString &data,
                     const QString &cliFor = QStringLiteral("C"));
    /// Runs a statement; fails the current test when it does not succeed.
    void exec(const QString &sql);

    /// Rows written by the program (LancManual = 1), in the order written, each as a map of
    /// column name to value.
    QVector<QVariantMap> postedRows() const;
    /// Every history row, in order of insertion.
    QVector<QVariantMap> allRows() const;
    /// The card's balance up to and including `day` (text compare, as the pass does), exactly,
    /// as a decimal text with four decimals.
    QString balance(const QString &cliente, const QString &numCartao, const QString &day) const;

private:
    QTemporaryDir m_dir;
    QString m_path;
    QString m_connection;
    bool m_valid = false;
};
