#include "link/opendialog.h"

#include "link/dialogplacement.h"
#include "link/filename.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QRegularExpression>
#include <QStringListModel>
#include <QThreadPool>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

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

// One listing of the names Qt cannot list, shared by the dialog and the thread that reads the folder.
// The thread hands its result to the dialog only while the dialog still wants it.
struct RawListing
{
    std::atomic<bool> cancelled{false};
    std::mutex mutex;
    QObject* dialog = nullptr; // guarded by mutex; cleared when the dialog goes or lists another folder
};

struct RawName
{
    QString shown; // as displayFileName() reads it
    QString name; // in the form of decodeFileName()
};

// The regular files in `folder` whose names Qt's listing leaves out (not UTF-8) and that match `filter`, in
// the order of their shown names; what was found so far when `listing` is cancelled.
QList<RawName> namesQtCannotList(const QByteArray& folder, const QList<QRegularExpression>& patterns,
                                 const RawListing& listing)
{
    QList<RawName> names;
    DIR* dir = ::opendir(folder.constData());
    if (dir == nullptr)
        return names;
    while (const dirent* entry = ::readdir(dir)) {
        if (listing.cancelled.load(std::memory_order_relaxed))
            break;
        const QString name = decodeFileName(entry->d_name);
        if (!hasRawBytes(name))
            continue;
        struct stat status {};
        if (::fstatat(::dirfd(dir), entry->d_name, &status, 0) != 0 || !S_ISREG(status.st_mode))
            continue;
        QString shown = displayFileName(name);
        if (patterns.isEmpty()
            || std::any_of(patterns.begin(), patterns.end(),
                           [&shown](const QRegularExpression& pattern) { return pattern.match(shown).hasMatch(); }))
            names.append({std::move(shown), name});
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end(), [](const RawName& a, const RawName& b) { return a.shown < b.shown; });
    return names;
}

// The file dialog, with a list under it of the files in the shown folder that it cannot list itself (names
// that are not UTF-8, shown read as code page 949); the list is hidden while there are none.
//
// A folder can hold a great many such names, and reading them all can take seconds: the list is read on a
// worker thread, so that the window, a running download and Stop go on meanwhile, and it is shown whole
// when the folder has been read. Entering another folder abandons a listing still in progress.
class HexFileDialog : public QFileDialog
{
public:
    HexFileDialog(QWidget* owner, const QString& title, const QString& folder) : QFileDialog(owner, title, folder)
    {
        setOption(QFileDialog::DontUseNativeDialog);
        auto* grid = qobject_cast<QGridLayout*>(layout());
        if (grid == nullptr)
            return;
        m_label = new QLabel(QStringLiteral("위 목록에 나오지 않는 파일(이름이 옛 한글 방식으로 저장된 파일):"), this);
        m_label->setToolTip(QStringLiteral("이름이 UTF-8이 아니어서 위 목록에 나오지 않는 파일입니다. 이름을 "
                                           "CP949(완성형 한글)로 읽어 보여 줍니다."));
        m_list = new QListView(this);
        m_list->setObjectName(QStringLiteral("rawNamedFiles"));
        m_list->setModel(&m_shown);
        m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
        m_list->setUniformItemSizes(true);
        m_list->setMaximumHeight(m_list->fontMetrics().height() * 5);
        m_open = new QPushButton(QStringLiteral("이 파일 열기"), this);
        m_open->setObjectName(QStringLiteral("openRawNamedFile"));
        m_open->setAutoDefault(false);
        const int row = grid->rowCount();
        grid->addWidget(m_label, row, 0, 1, grid->columnCount());
        grid->addWidget(m_list, row + 1, 0, 1, grid->columnCount() - 1);
        grid->addWidget(m_open, row + 1, grid->columnCount() - 1, Qt::AlignTop);
        showList(false);
        connect(m_list, &QListView::activated, this, [this](const QModelIndex& index) { choose(index); });
        connect(m_open, &QPushButton::clicked, this, [this] { choose(m_list->currentIndex()); });
        // The folder changes by a double click, the buttons and a path typed in the name field; only the model
        // hears of every one of them.
        if (auto* model = findChild<QFileSystemModel*>())
            connect(model, &QFileSystemModel::rootPathChanged, this, [this] { listRawNames(); });
        connect(this, &QFileDialog::directoryEntered, this, [this] { listRawNames(); });
        connect(this, &QFileDialog::filterSelected, this, [this] { listRawNames(); });
    }

    ~HexFileDialog() override { abandonListing(); }

    HexFileDialog(const HexFileDialog&) = delete;
    HexFileDialog& operator=(const HexFileDialog&) = delete;

    // Starts listing the folder now shown; the list shows its names once they are all read.
    void listRawNames()
    {
        if (m_list == nullptr)
            return;
        const QByteArray folder = encodeFileName(directory().absolutePath());
        const QString filter = selectedNameFilter();
        if (m_listedFolder == folder && m_listedFilter == filter)
            return;
        m_listedFolder = folder;
        m_listedFilter = filter;
        abandonListing();
        m_shown.setStringList({});
        m_names.clear();
        showList(false);
        auto listing = std::make_shared<RawListing>();
        listing->dialog = this;
        m_listing = listing;
        const QList<QRegularExpression> patterns = patternsOf(filter);
        QThreadPool::globalInstance()->start([listing, folder, patterns] {
            QList<RawName> names = namesQtCannotList(folder, patterns, *listing);
            const std::lock_guard<std::mutex> lock(listing->mutex);
            if (listing->dialog == nullptr)
                return;
            // Queued to the dialog: dropped unheard if the dialog is gone before it runs.
            QMetaObject::invokeMethod(
                listing->dialog,
                [dialog = static_cast<HexFileDialog*>(listing->dialog), listing, names = std::move(names)] {
                    dialog->showRawNames(listing, names);
                },
                Qt::QueuedConnection);
        });
    }

    // True while a folder is being read for the list.
    bool listing() const { return m_listing != nullptr; }

    // The file chosen from the list, in the form of decodeFileName(); empty when the choice was the dialog's own.
    QString rawChoice() const { return m_choice; }

private:
    void showRawNames(const std::shared_ptr<RawListing>& listing, const QList<RawName>& names)
    {
        if (listing != m_listing)
            return;
        m_listing.reset();
        QStringList shown;
        shown.reserve(names.size());
        m_names.clear();
        m_names.reserve(names.size());
        for (const RawName& name : names) {
            shown << name.shown;
            m_names << name.name;
        }
        m_shown.setStringList(shown);
        showList(!names.isEmpty());
        if (!names.isEmpty())
            m_list->setCurrentIndex(m_shown.index(0));
    }

    void abandonListing()
    {
        if (m_listing == nullptr)
            return;
        m_listing->cancelled = true;
        const std::lock_guard<std::mutex> lock(m_listing->mutex);
        m_listing->dialog = nullptr;
        m_listing.reset();
    }

    void showList(bool visible)
    {
        m_label->setVisible(visible);
        m_list->setVisible(visible);
        m_open->setVisible(visible);
    }

    void choose(const QModelIndex& index)
    {
        if (!index.isValid() || index.row() >= m_names.size())
            return;
        m_choice = directory().absolutePath() + QLatin1Char('/') + m_names.at(index.row());
        // Qt's own check of the choice would look the name up in a listing that lacks it.
        QDialog::accept();
    }

    QLabel* m_label = nullptr;
    QListView* m_list = nullptr;
    QPushButton* m_open = nullptr;
    QStringListModel m_shown;
    QStringList m_names; // beside m_shown, row for row
    std::shared_ptr<RawListing> m_listing;
    QByteArray m_listedFolder;
    QString m_listedFilter;
    QString m_choice;
};

} // namespace

TOpenDialog::TOpenDialog(QWidget* owner) : QObject(owner), m_owner(owner) {}

bool TOpenDialog::Execute()
{
    HexFileDialog dialog(m_owner, Title, startFolder());
    placeBeside(dialog, m_keepInReach);
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
