#include "link/opendialog.h"

#include <QDir>
#include <QWidget>

// What the dialog shows on every platform: its filters and the folder it starts in.

QStringList TOpenDialog::nameFilters() const
{
    const QStringList parts = Filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        filters << QStringLiteral("%1 (%2)").arg(parts[i],
                                                 QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')));
    return filters;
}

QString TOpenDialog::startFolder() const
{
    if (!m_lastFolder.isEmpty())
        return m_lastFolder;
    return !InitialDir.isEmpty() ? InitialDir : QDir::currentPath();
}
