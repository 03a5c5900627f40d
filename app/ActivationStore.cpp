// SPDX-License-Identifier: MIT
#include "app/ActivationStore.h"

#include <QSettings>

#include <memory>

namespace {

const QString kKey = QStringLiteral("frmVelmora/chkActivar");

} // namespace

std::unique_ptr<QSettings> ActivationStore::open() const
{
    if (!m_file.isEmpty())
        return std::make_unique<QSettings>(m_file, QSettings::IniFormat);
#ifdef Q_OS_WIN
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("VB and VBA Program Settings"),
                                       m_application);
#else
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("velmora"), m_application);
#endif
}

ActivationStore::ActivationStore(QString applicationName, QString fileOverride)
    : m_application(std::move(applicationName)), m_file(std::move(fileOverride))
{
}

QString ActivationStore::defaultFileOverride()
{
    return qEnvironmentVariable("VELMORA_SETTINGS_FILE");
}

int ActivationStore::read() const
{
    const auto settings = open();
    bool ok = false;
    const int value = settings->value(kKey, QStringLiteral("0")).toString().trimmed().toInt(&ok);
    if (!ok || value < 0 || value > 2)
        return 0;
    return value;
}

bool ActivationStore::write(int value) const
{
    const auto settings = open();
    if (!settings->isWritable())
        return false;
    settings->setValue(kKey, QString::number(value));
    settings->sync();
    return settings->status() == QSettings::NoError;
}
