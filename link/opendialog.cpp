#include "link/opendialog.h"

#include "link/filename.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QWidget>

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// The patterns of a name filter as the dialog shows it, "description (*.a *.b)".
QList<QRegularExpression> patternsOf(const QString& filter)
{
    static const QRegularExpression inParentheses(QStringLiteral("\\(([^()]*)\\)\\s*$"));
    const QRegularExpressionMatch match = inParentheses.match(filter);
    const QString list = match.hasMatch() ? match.captured(1) : filter;
    QList<QRegularExpression> patterns;
    for (const QString& pattern : list.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        patterns << QRegularExpression(QRegularExpression::wildcardToRegularExpression(pattern),
                                       QRegularExpression::CaseInsensitiveOption);
    return patterns;
}

// The regular files in `folder` whose names Qt's listing leaves out (not UTF-8) and that match `filter`, in
// the form of decodeFileName().
QStringList namesQtCannotList(const QString& folder, const QString& filter)
{
    QStringList names;
    DIR* dir = ::opendir(QFile::encodeName(folder).constData());
    if (dir == nullptr)
        return names;
    const QList<QRegularExpression> patterns = patternsOf(filter);
    while (const dirent* entry = ::readdir(dir)) {
        const QString name = decodeFileName(entry->d_name);
        if (!hasRawBytes(name))
            continue;
        struct stat status {};
        if (::fstatat(::dirfd(dir), entry->d_name, &status, 0) != 0 || !S_ISREG(status.st_mode))
            continue;
        const QString shown = displayFileName(name);
        if (patterns.isEmpty()
            || std::any_of(patterns.begin(), patterns.end(),
                           [&shown](const QRegularExpression& pattern) { return pattern.match(shown).hasMatch(); }))
            names << name;
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end(),
              [](const QString& a, const QString& b) { return displayFileName(a) < displayFileName(b); });
    return names;
}

// The file dialog, with a list under it of the files in the shown folder that it cannot list itself (names
// that are not UTF-8, shown read as code page 949); the list is hidden while there are none.
class HexFileDialog : public QFileDialog
{
public:
    HexFileDialog(QWidget* owner, const QString& title, const QString& folder) : QFileDialog(owner, title, folder)
    {
        setOption(QFileDialog::DontUseNativeDialog);
        auto* grid = qobject_cast<QGridLayout*>(layout());
        if (grid == nullptr)
            return;
        m_label = new QLabel(QStringLiteral("이름이 UTF-8이 아닌 파일 (CP949로 읽어 표시):"), this);
        m_list = new QListWidget(this);
        m_list->setObjectName(QStringLiteral("rawNamedFiles"));
        m_list->setMaximumHeight(m_list->fontMetrics().height() * 5);
        m_open = new QPushButton(QStringLiteral("이 파일 열기"), this);
        m_open->setObjectName(QStringLiteral("openRawNamedFile"));
        m_open->setAutoDefault(false);
        const int row = grid->rowCount();
        grid->addWidget(m_label, row, 0, 1, grid->columnCount());
        grid->addWidget(m_list, row + 1, 0, 1, grid->columnCount() - 1);
        grid->addWidget(m_open, row + 1, grid->columnCount() - 1, Qt::AlignTop);
        connect(m_list, &QListWidget::itemActivated, this, [this](QListWidgetItem* item) { choose(item); });
        connect(m_open, &QPushButton::clicked, this, [this] { choose(m_list->currentItem()); });
        connect(this, &QFileDialog::directoryEntered, this, [this] { listRawNames(); });
        connect(this, &QFileDialog::filterSelected, this, [this] { listRawNames(); });
    }

    // Fills the list for the folder now shown.
    void listRawNames()
    {
        if (m_list == nullptr)
            return;
        m_list->clear();
        for (const QString& name : namesQtCannotList(directory().absolutePath(), selectedNameFilter())) {
            auto* item = new QListWidgetItem(displayFileName(name), m_list);
            item->setData(Qt::UserRole, name);
        }
        const bool any = m_list->count() > 0;
        m_label->setVisible(any);
        m_list->setVisible(any);
        m_open->setVisible(any);
        if (any)
            m_list->setCurrentRow(0);
    }

    // The file chosen from the list, in the form of decodeFileName(); empty when the choice was the dialog's own.
    QString rawChoice() const { return m_choice; }

private:
    void choose(const QListWidgetItem* item)
    {
        if (item == nullptr)
            return;
        m_choice = directory().absolutePath() + QLatin1Char('/') + item->data(Qt::UserRole).toString();
        // Qt's own check of the choice would look the name up in a listing that lacks it.
        QDialog::accept();
    }

    QLabel* m_label = nullptr;
    QListWidget* m_list = nullptr;
    QPushButton* m_open = nullptr;
    QString m_choice;
};

} // namespace

TOpenDialog::TOpenDialog(QWidget* owner) : QObject(owner), m_owner(owner) {}

QStringList TOpenDialog::nameFilters() const
{
    const QStringList parts = Filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        filters << QStringLiteral("%1 (%2)").arg(parts[i], QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')));
    return filters;
}

bool TOpenDialog::Execute()
{
    // Always a folder of our own: given none, Qt's dialog would start where any earlier one left off.
    const QString folder = !m_lastFolder.isEmpty() ? m_lastFolder
                           : !InitialDir.isEmpty() ? InitialDir
                                                   : QDir::currentPath();
    HexFileDialog dialog(m_owner, Title, folder);
    dialog.setObjectName(QStringLiteral("OpenDialog1Window"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(nameFilters());
    if (!DefaultExt.isEmpty())
        dialog.setDefaultSuffix(DefaultExt);
    dialog.listRawNames();
    if (dialog.exec() != QDialog::Accepted)
        return false;
    if (!dialog.rawChoice().isEmpty()) {
        FileName = dialog.rawChoice();
        m_lastFolder = dialog.directory().absolutePath();
        return true;
    }
    if (dialog.selectedFiles().isEmpty())
        return false;
    const QFileInfo chosen(dialog.selectedFiles().constFirst());
    FileName = chosen.absoluteFilePath();
    m_lastFolder = chosen.absolutePath();
    return true;
}
