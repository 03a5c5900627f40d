// SPDX-License-Identifier: MIT
#include "app/frmVelmora.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

class tst_frmVelmora : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void showsItsControlsWithTheirTexts();
    void placesTheControlsFromTwips();
    void refusesAMissingSettingWithoutWritingTheFlag();
    void savesTheFlagOnCloseAndRestoresIt_data();
    void savesTheFlagOnCloseAndRestoresIt();
    void trimsTheReportAndLeavesTheCaretAtTheEnd();
    void answersWhileAPassPauses();
    void keepsTheFlagInTheRegistryOnWindows_data();
    void keepsTheFlagInTheRegistryOnWindows();

private:
    QString m_store;
    QTemporaryDir m_dir;
};

void tst_frmVelmora::init()
{
    m_store = m_dir.filePath(QString::fromLatin1(QTest::currentTestFunction()) + "-" +
                             QString::fromLatin1(QTest::currentDataTag()) + ".ini");
    frmVelmora::setMessageHook([](const QString &title, const QString &text) {
        QFAIL(qPrintable("unexpected message: " + title + " / " + text));
    });
}

void tst_frmVelmora::showsItsControlsWithTheirTexts()
{
    frmVelmora w(u"velmora"_s, m_store);
    QCOMPARE(w.windowTitle(), u"Velmora"_s);
    const struct
    {
        const char *name, *property, *text;
    } controls[] = {
        {"chkActivar", "text", "Activar este Controlo"},
        {"lblStatus", "text", "Em execução. Aguarde por favor..."},
        {"rtfRelatorio", "plainText", ""},
        {"Label1", "text", "Este controlo irá efectuar verificações de 30 em 30 minutos."},
        {"lblTempoRestante", "text", "30 Min."},
        {"lblTempoRestante", "toolTip", "Tempo restante para a próxima verificação."},
    };
    for (const auto &c : controls) {
        const QWidget *control = w.findChild<QWidget *>(QLatin1String(c.name));
        QVERIFY2(control, c.name);
        QCOMPARE(control->property(c.property).toString(), QString::fromUtf8(c.text));
        if (qstrcmp(c.property, "text") == 0) // the whole text fits, whatever the font
            QVERIFY2(control->sizeHint().width() <= control->width(), c.name);
    }
    const auto *status = w.findChild<QLabel *>(u"lblStatus"_s);
    QVERIFY(status->isHidden());
    QVERIFY(status->font().bold());
    QCOMPARE(status->palette().color(QPalette::WindowText), QColor(0x00, 0xC0, 0x00));
    const auto *timer = w.findChild<QTimer *>(u"tmrTimer"_s);
    QVERIFY(timer);
    QCOMPARE(timer->interval(), 60000);
    QVERIFY(timer->isActive());
}

void tst_frmVelmora::placesTheControlsFromTwips()
{
    frmVelmora w(u"velmora"_s, m_store);
    const double perTwip = w.logicalDpiX() / 1440.0; // 15 twips a pixel at 96 DPI
    const auto px = [perTwip](int twips) {
        return qRound(twips * perTwip);
    };
    const auto at = [&w](const char *name) {
        return w.findChild<QWidget *>(QLatin1String(name))->geometry();
    };
    const struct
    {
        const char *name;
        int left, top, width, height;
    } table[] = {{"chkActivar", 120, 0, 2175, 375},
                 {"lblStatus", 2400, 15, 3375, 300},
                 {"rtfRelatorio", 120, 360, 5655, 6255},
                 {"Label1", 120, 6720, 4935, 255},
                 {"lblTempoRestante", 5160, 6720, 615, 255}};
    QCOMPARE(w.size(), QSize(px(5895), px(7050)));
    for (const auto &c : table) {
        QCOMPARE(at(c.name), QRect(px(c.left), px(c.top), px(c.width), px(c.height)));
        QVERIFY(w.rect().contains(at(c.name)));
    }
    // Check box and status side by side on top, the pane below, the two labels under it.
    QVERIFY(at("chkActivar").right() < at("lblStatus").left());
    QVERIFY(at("rtfRelatorio").top() > at("lblStatus").bottom());
    QVERIFY(at("Label1").top() > at("rtfRelatorio").bottom());
    QCOMPARE(at("Label1").top(), at("lblTempoRestante").top());
    QVERIFY(at("Label1").right() < at("lblTempoRestante").left());
}

void tst_frmVelmora::refusesAMissingSettingWithoutWritingTheFlag()
{
    QStringList shown;
    frmVelmora::setMessageHook(
        [&shown](const QString &title, const QString &text) { shown << title << text; });
    for (const QString &line : {u"srv;"_s, u"srv;db;usr;Pw;K9x;SQL;"_s}) {
        frmVelmora w(u"velmora"_s, m_store);
        QVERIFY(!w.Form_Load(line));
    }
    QCOMPARE(shown.size(), 4);
    QVERIFY2(shown.at(1).startsWith(u"Não definiu a Base de Dados de SQL! (a linha de definições "
                                    "tem 1 de cinco campos"_s),
             qPrintable(shown.at(1)));
    // A ";" in the password: the fields are counted, and none from the password on is shown.
    QVERIFY2(shown.at(3).startsWith(u"a linha de definições tem 6 campos"_s) &&
                 !shown.at(3).contains(u"K9x"_s) && !shown.at(3).contains(u"Pw"_s),
             qPrintable(shown.at(3)));
    QVERIFY(!QFile::exists(m_store));
}

void tst_frmVelmora::savesTheFlagOnCloseAndRestoresIt_data()
{
    QTest::addColumn<Qt::CheckState>("state");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("caption"); // after one tick of the restored window
    QTest::addColumn<bool>("writable");   // whether the store can be written
    QTest::newRow("ticked") << Qt::Checked << u"1"_s << u"29 Min."_s << true;
    QTest::newRow("unticked") << Qt::Unchecked << u"0"_s << u"30 Min."_s << true;
    QTest::newRow("greyed") << Qt::PartiallyChecked << u"2"_s << u"30 Min."_s << true;
    // The window closes all the same, and starts unticked: nothing was stored.
    QTest::newRow("store cannot be written") << Qt::Checked << QString() << u"30 Min."_s << false;
}

void tst_frmVelmora::savesTheFlagOnCloseAndRestoresIt()
{
    QFETCH(Qt::CheckState, state);
    QFETCH(QString, stored);
    QFETCH(QString, caption);
    QFETCH(bool, writable);
    QString store = m_store;
    if (!writable) {
        // Its folder would have to be inside a plain file.
        QFile blocker(m_dir.filePath(u"blocker"_s));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        store = blocker.fileName() + u"/store.ini"_s;
    }
    const QString line = u"srv;db;;;WIN;"_s;
    {
        frmVelmora w(u"velmora"_s, store);
        QVERIFY(w.Form_Load(line));
        auto *chk = w.findChild<QCheckBox *>(u"chkActivar"_s);
        chk->setTristate(state == Qt::PartiallyChecked);
        chk->setCheckState(state);
        w.show();
        QVERIFY(w.close());
        QVERIFY(!w.isVisible());
    }
    QSettings ini(store, QSettings::IniFormat);
    QCOMPARE(ini.value(u"frmVelmora/chkActivar"_s).toString(), stored);

    frmVelmora again(u"velmora"_s, store);
    QVERIFY(again.Form_Load(line));
    auto *chk = again.findChild<QCheckBox *>(u"chkActivar"_s);
    QCOMPARE(chk->checkState(), writable ? state : Qt::Unchecked);
    again.tmrTimer_Timer();
    QCOMPARE(again.findChild<QLabel *>(u"lblTempoRestante"_s)->text(), caption);
    for (int click = 0; click < 3; ++click) { // the user's clicks never grey the box
        chk->click();
        QVERIFY(chk->checkState() != Qt::PartiallyChecked);
    }
}

void tst_frmVelmora::trimsTheReportAndLeavesTheCaretAtTheEnd()
{
    frmVelmora w(u"velmora"_s, m_store);
    QVERIFY(w.Form_Load(u"srv;db;usr;;;"_s));
    w.append(u"first line\r\n  second line\r\nthird line\r\n  "_s);
    w.LimpraRelatorio();
    QCOMPARE(w.report().text(), u"third line\r\n"_s);

    const auto *pane = w.findChild<QPlainTextEdit *>(u"rtfRelatorio"_s);
    QCOMPARE(pane->toPlainText(), u"third line\n"_s);
    QVERIFY(pane->textCursor().atEnd());
}

void tst_frmVelmora::answersWhileAPassPauses()
{
    // A pass pauses before it does a deadlock's victim again: the window still handles its
    // events, and a close ends the pause.
    frmVelmora w(u"velmora"_s, m_store);
    QVERIFY(w.Form_Load(u"srv;db;usr;;;"_s));
    bool handled = false;
    QTimer::singleShot(0, &w, [&] {
        handled = true;
        w.close();
    });
    w.pause(60000);
    QVERIFY(handled);
    QVERIFY(w.stopRequested());
}

#ifdef Q_OS_WIN
namespace {

/// Runs Windows' reg.exe; its standard output, or a null string when it failed.
QString reg(const QStringList &arguments)
{
    QProcess process;
    process.start(u"reg"_s, arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return {};
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

} // namespace
#endif

void tst_frmVelmora::keepsTheFlagInTheRegistryOnWindows_data()
{
    QTest::addColumn<QString>("type"); // as earlier versions or an administrator left it
    QTest::addColumn<QString>("data");
    QTest::addColumn<Qt::CheckState>("restored");
    QTest::addColumn<QString>("storedAfterAClick");
    QTest::newRow("ticked") << u"REG_SZ"_s << u"1"_s << Qt::Checked << u"0"_s;
    QTest::newRow("unticked") << u"REG_SZ"_s << u"0"_s << Qt::Unchecked << u"1"_s;
    QTest::newRow("greyed") << u"REG_SZ"_s << u"2"_s << Qt::PartiallyChecked << u"1"_s;
    QTest::newRow("a number") << u"REG_DWORD"_s << u"1"_s << Qt::Checked << u"0"_s;
    QTest::newRow("junk") << u"REG_SZ"_s << u"sim"_s << Qt::Unchecked << u"1"_s;
}

void tst_frmVelmora::keepsTheFlagInTheRegistryOnWindows()
{
#ifdef Q_OS_WIN
    QFETCH(QString, type);
    QFETCH(QString, data);
    QFETCH(Qt::CheckState, restored);
    QFETCH(QString, storedAfterAClick);
    // A name of its own, so that the user's own flag is never touched.
    const QString application = u"velmora-test-%1"_s.arg(QCoreApplication::applicationPid());
    const QString root = u"HKCU\\Software\\VB and VBA Program Settings\\"_s + application;
    const QString key = root + u"\\frmVelmora"_s;
    QVERIFY(!reg({u"add"_s, key, u"/v"_s, u"chkActivar"_s, u"/t"_s, type, u"/d"_s, data, u"/f"_s})
                 .isNull());
    {
        frmVelmora w(application, QString());
        QVERIFY(w.Form_Load(u"srv;db;;;WIN;"_s));
        auto *chk = w.findChild<QCheckBox *>(u"chkActivar"_s);
        QCOMPARE(chk->checkState(), restored);
        chk->click();
        w.show();
        QVERIFY(w.close());
    }
    const QString query = reg({u"query"_s, key, u"/v"_s, u"chkActivar"_s});
    reg({u"delete"_s, root, u"/f"_s});
    const QRegularExpressionMatch value =
        QRegularExpression(u"chkActivar\\s+(REG_\\w+)\\s+(\\S*)"_s).match(query);
    QVERIFY2(value.hasMatch(), qPrintable(query));
    QCOMPARE(value.captured(1), u"REG_SZ"_s); // as earlier versions wrote it
    QCOMPARE(value.captured(2), storedAfterAClick);
#else
    QSKIP("the registry exists on Windows only");
#endif
}

QTEST_MAIN(tst_frmVelmora)
#include "tst_frmvelmora.moc"
