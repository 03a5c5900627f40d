// SPDX-License-Identifier: MIT
#include "app/ReportPane.h"

#include <QTextCursor>

ReportPane::ReportPane(QWidget *parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
}

QString ReportPane::forDisplay(const QString &text)
{
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

void ReportPane::add(const QString &text)
{
    m_backlog += forDisplay(text);
    if (!m_paced)
        bringUpToDate();
}

void ReportPane::bringEndIntoView()
{
    m_caretToEndPending = true;
    if (!m_paced)
        bringUpToDate();
}

void ReportPane::bringUpToDate()
{
    if (!m_backlog.isEmpty()) {
        appendText(m_backlog);
        m_backlog.clear();
    }
    if (m_caretToEndPending) {
        caretToEnd();
        m_caretToEndPending = false;
    }
}

void ReportPane::redraw()
{
    if (m_lastRedraw.isValid() && m_lastRedraw.elapsed() < m_frameMilliseconds)
        return;
    bringUpToDate();
    repaint();
    m_lastRedraw.start();
}

void ReportPane::setPaced(bool paced)
{
    bringUpToDate();
    m_paced = paced;
    m_lastRedraw.invalidate();
}

void ReportPane::dropOldest(const QString &text)
{
    qsizetype characters = forDisplay(text).size();
    const qsizetype shown = document()->characterCount() - 1;
    if (characters > shown) { // some of them were never shown
        m_backlog.remove(0, characters - shown);
        characters = shown;
    }
    QTextCursor top(document());
    top.setPosition(characters, QTextCursor::KeepAnchor);
    top.removeSelectedText();
}

void ReportPane::showText(const QString &text)
{
    m_backlog.clear();
    m_caretToEndPending = false;
    setPlainText(forDisplay(text));
}

void ReportPane::appendText(const QString &shownText)
{
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.insertText(shownText);
}

void ReportPane::caretToEnd()
{
    QTextCursor cursor = textCursor();
    cursor.movePosition(QTextCursor::End);
    setTextCursor(cursor);
    ensureCursorVisible();
}

void ReportPane::caretToStart()
{
    QTextCursor cursor = textCursor();
    cursor.movePosition(QTextCursor::Start);
    setTextCursor(cursor);
}
