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
    void writeSaysWhetherTheStoreTookTheValue();

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

void tst_ActivationStore::writeSaysWhetherTheStoreTookTheValue()
{
    // The store's folder would have to be inside a plain file: no one can create it.
    const QString blocker = m_dir.filePath(QStringLiteral("blocker"));
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const ActivationStore store(QStringLiteral("velmora"), blocker + "/store.ini");
    QVERIFY(!store.write(1));
    QCOMPARE(store.read(), 0);

    // A writable one takes the value as decimal text in its section, a text file of the system's
    // own kind.
    const ActivationStore good(QStringLiteral("velmora"), m_dir.filePath(QStringLiteral("ok.ini")));
    QVERIFY(good.write(2));
    QFile written(m_dir.filePath(QStringLiteral("ok.ini")));
    QVERIFY(written.open(QIODevice::ReadOnly));
#ifdef Q_OS_WIN
    QCOMPARE(written.readAll(), QByteArray("[frmVelmora]\r\nchkActivar=2\r\n"));
#else
    QCOMPARE(written.readAll(), QByteArray("[frmVelmora]\nchkActivar=2\n"));
#endif
}

QTEST_GUILESS_MAIN(tst_ActivationStore)
#include "tst_activationstore.moc"
