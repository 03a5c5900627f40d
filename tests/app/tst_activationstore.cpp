// SPDX-License-Identifier: MIT
#include "app/ActivationStore.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class tst_ActivationStore : public QObject
{
    Q_OBJECT
private slots:
    void readsTheStoredCheckBoxValue_data();
    void readsTheStoredCheckBoxValue();
    void writesTheValueAsDecimalText_data();
    void writesTheValueAsDecimalText();
    void reportsAStoreThatCannotBeWritten();

private:
    QTemporaryDir m_dir;
};

void tst_ActivationStore::readsTheStoredCheckBoxValue_data()
{
    QTest::addColumn<QByteArray>("ini"); // the store's content; empty means no file at all
    QTest::addColumn<int>("value");
    QTest::newRow("ticked") << QByteArray("[frmVelmora]\nchkActivar=1\n") << 1;
    QTest::newRow("unticked") << QByteArray("[frmVelmora]\nchkActivar=0\n") << 0;
    QTest::newRow("greyed") << QByteArray("[frmVelmora]\nchkActivar=2\n") << 2;
    QTest::newRow("junk") << QByteArray("[frmVelmora]\nchkActivar=abc\n") << 0;
    QTest::newRow("out of range") << QByteArray("[frmVelmora]\nchkActivar=3\n") << 0;
    QTest::newRow("negative") << QByteArray("[frmVelmora]\nchkActivar=-1\n") << 0;
    QTest::newRow("boolean word") << QByteArray("[frmVelmora]\nchkActivar=true\n") << 0;
    QTest::newRow("other section") << QByteArray("[General]\nchkActivar=1\n") << 0;
    QTest::newRow("no file") << QByteArray() << 0;
}

void tst_ActivationStore::readsTheStoredCheckBoxValue()
{
    QFETCH(QByteArray, ini);
    QFETCH(int, value);
    const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + ".ini");
    if (!ini.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ini);
    }
    QCOMPARE(ActivationStore(QStringLiteral("velmora"), path).read(), value);
}

void tst_ActivationStore::writesTheValueAsDecimalText_data()
{
    QTest::addColumn<int>("value");
    QTest::newRow("ticked") << 1;
    QTest::newRow("unticked") << 0;
    QTest::newRow("greyed") << 2;
}

void tst_ActivationStore::writesTheValueAsDecimalText()
{
    QFETCH(int, value);
    const QString path = m_dir.filePath(QStringLiteral("written.ini"));
    const ActivationStore store(QStringLiteral("velmora"), path);
    QVERIFY(store.write(value));
    QCOMPARE(store.read(), value);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    QVERIFY2(content.contains("[frmVelmora]"), content.constData());
    QVERIFY2(content.contains("chkActivar=" + QByteArray::number(value) + "\n"),
             content.constData());
}

void tst_ActivationStore::reportsAStoreThatCannotBeWritten()
{
    // The store's folder would have to be inside a plain file: no one can create it.
    const QString blocker = m_dir.filePath(QStringLiteral("blocker"));
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const ActivationStore store(QStringLiteral("velmora"), blocker + "/store.ini");
    QVERIFY(!store.write(1));
    QCOMPARE(store.read(), 0);
}

QTEST_GUILESS_MAIN(tst_ActivationStore)
#include "tst_activationstore.moc"
