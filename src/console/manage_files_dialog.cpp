#include "console/manage_files_dialog.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <filesystem>
#include <system_error>
#include <vector>

#include "accounts/account_store.h"
#include "console/controls.h"
#include "platform/event_log.h"
#include "platform/file_system.h"
#include "server/protocol.h"
#include "sharing/catalog.h"

namespace vextora::console {

namespace {

const QString NO_FILE_SELECTED = QStringLiteral("No file selected.");

// Lists the sub-folders or the files of a folder of the local disk, hidden
// ones included, with ".." in every folder below the root when asked. A
// folder that cannot be listed leaves the list empty.
void fillFolderList(SortedListBox* list, const std::string& folder, bool wantFolders,
                    bool keepDotDot) {
    list->clear();
    std::error_code error;
    std::filesystem::directory_iterator entry(folder, error);
    if (error) return;
    if (wantFolders && keepDotDot && folder != ManageFilesDialog::ROOT) list->addEntry("..");
    for (; entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        if (error) break;
        std::error_code ignored;  // an entry that cannot be looked at counts as a file
        if (entry->is_directory(ignored) != wantFolders) continue;
        list->addEntry(entry->path().filename().native());
    }
}

// The share folder holds each name as one file, and its catalog line must
// reach every reader whole. A backslash separates folders in the stored
// layout, so "..\..\users.dat" would land outside the share folder.
bool shareableName(std::string_view name) {
    return !name.empty() && name.find_first_of("\\\r\n") == std::string_view::npos &&
           ManageFilesDialog::SHARE_OWNER.size() + 1 + name.size() <= MAX_TEXT;
}

QPushButton* makeButton(int id, const QString& caption) {
    auto* button = new QPushButton(caption);
    setControlId(button, id);
    button->setAutoDefault(false);
    return button;
}

SortedListBox* makeList(int id) {
    auto* list = new SortedListBox;
    setControlId(list, id);
    return list;
}

}  // namespace

ManageFilesDialog::ManageFilesDialog(const FileSystem& files, QWidget* parent)
    : QDialog(parent), files_(files) {
    setWindowTitle(QStringLiteral("Manage Files"));

    auto* localFrame = new QGroupBox(QStringLiteral("Local Files"));
    auto* local = new QVBoxLayout(localFrame);
    local->addWidget(new QLabel(QStringLiteral("Current Directory:")));
    directoryText_ = new PathField;
    setControlId(directoryText_, CURRENT_DIRECTORY);
    local->addWidget(directoryText_);
    local->addWidget(new QLabel(QStringLiteral("Directories")));
    folders_ = makeList(FOLDERS);
    local->addWidget(folders_);
    local->addWidget(new QLabel(QStringLiteral("Files in directory")));
    localFiles_ = makeList(LOCAL_FILES);
    localFiles_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    local->addWidget(localFiles_);

    auto* buttons = new QVBoxLayout;
    buttons->addStretch();
    QPushButton* share = makeButton(SHARE, QStringLiteral("-> Share File      "));
    QPushButton* unshare = makeButton(UNSHARE, QStringLiteral(" Unshare File <-"));
    QPushButton* done = makeButton(DONE, QStringLiteral("Done"));
    buttons->addWidget(share);
    buttons->addWidget(unshare);
    buttons->addStretch();
    buttons->addWidget(done);

    auto* sharedFrame = new QGroupBox(QStringLiteral("Files In Shared Folder"));
    auto* shared = new QVBoxLayout(sharedFrame);
    sharedFiles_ = makeList(SHARED_FILES);
    shared->addWidget(sharedFiles_);

    auto* layout = new QHBoxLayout(this);
    layout->addWidget(localFrame, 1);
    layout->addLayout(buttons);
    layout->addWidget(sharedFrame, 1);
    resize(640, 420);

    connect(share, &QPushButton::clicked, this, &ManageFilesDialog::onShareClicked);
    connect(unshare, &QPushButton::clicked, this, &ManageFilesDialog::onUnshareClicked);
    connect(done, &QPushButton::clicked, this, &QDialog::close);
    connect(folders_, &QListWidget::itemDoubleClicked, this, &ManageFilesDialog::onFolderOpened);
    // Enter opens the selected folder as a double-click does. Not the view's
    // "activated": under some styles a single click activates, and a click
    // only selects.
    folders_->installEventFilter(this);

    setCurrentDirectory(std::string(ROOT));
    fillSharedList();
}

void ManageFilesDialog::setCurrentDirectory(std::string directory) {
    currentDirectory_ = std::move(directory);
    directoryText_->setText(displayText(currentDirectory_));
    fillFolderList(folders_, currentDirectory_, true, true);
    fillFolderList(localFiles_, currentDirectory_, false, true);
}

bool ManageFilesDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == folders_ && event->type() == QEvent::KeyPress) {
        int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            onFolderOpened();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void ManageFilesDialog::onFolderOpened() {
    std::optional<std::string> entry = folders_->selectedEntry();
    if (!entry) return;
    std::string next = currentDirectory_;
    if (*entry == "..") {
        // Cut at the last separator; what is left of "/data" is the root.
        std::size_t slash = next.rfind('/');
        if (slash == std::string::npos || slash == 0)
            next = std::string(ROOT);
        else
            next.resize(slash);
    } else {
        if (next != ROOT) next += '/';
        next += *entry;
    }
    setCurrentDirectory(std::move(next));
}

void ManageFilesDialog::onShareClicked() {
    shareSelectedFile();
    fillSharedList();
}

void ManageFilesDialog::onUnshareClicked() {
    unshareSelectedFile();
    fillSharedList();
}

void ManageFilesDialog::onOverwriteAnswered(int answer) {
    if (answer == QMessageBox::Yes) share(pendingName_, true);
    pendingName_.clear();
    fillSharedList();
}

void ManageFilesDialog::shareSelectedFile() {
    std::optional<std::string> name = localFiles_->selectedEntry();
    if (!name) {
        showErrorBox(this, NO_FILE_SELECTED);
        return;
    }
    if (!shareableName(*name)) {
        showErrorBox(this, QStringLiteral("This file cannot be shared: its name is too long, or "
                                          "holds a backslash or a line break."));
        return;
    }
    if (std::optional<std::string_view> secret = serverSecret(sourceOf(*name))) {
        showErrorBox(this, QStringLiteral("This file cannot be shared: it is the server's %1, "
                                          "which holds passwords.")
                               .arg(displayText(*secret)));
        return;
    }
    std::string destination = std::string(SHARE_FOLDER) + '\\' + *name;
    if (files_.exists(destination) && !files_.isDirectory(destination)) {
        pendingName_ = *name;
        QMessageBox* question = makeQuestionBox(
            this, QStringLiteral("Overwrite File"),
            QStringLiteral(
                "A file with the same name already\nexists in the shared folder. Replace?"));
        connect(question, &QMessageBox::finished, this, &ManageFilesDialog::onOverwriteAnswered);
        question->open();
        return;
    }
    share(*name, false);
}

std::string ManageFilesDialog::sourceOf(const std::string& name) const {
    std::string source = currentDirectory_;
    if (source != ROOT) source += '/';
    return source + name;
}

std::optional<std::string_view> ManageFilesDialog::serverSecret(const std::string& source) const {
    // Shared, either file would go to every client, guests included. The
    // file is what counts, not its name: the data folder reached by any
    // path, a link to the file, or a hard link are all refused.
    for (std::string_view secret :
         {AccountStore::ACCOUNTS_FILE, AccountStore::ADMIN_PASSWORD_FILE}) {
        std::error_code error;
        if (std::filesystem::equivalent(source, files_.nativePath(secret), error)) return secret;
    }
    return std::nullopt;
}

void ManageFilesDialog::share(const std::string& name, bool replacing) {
    files_.makeDirectory("Users");
    files_.makeDirectory(SHARE_FOLDER);
    std::string source = sourceOf(name);
    // The copy is written beside the destination and renamed over it in one
    // step, so nothing is deleted first: an earlier copy survives a failed
    // copy, and a file chosen inside the share folder is its own source. A
    // read-only copy is not written over.
    if (!files_.copyFile(source, std::string(SHARE_FOLDER) + '\\' + name)) {
        showErrorBox(this, QStringLiteral("The file could not be copied into the shared folder."));
        return;
    }
    // A replaced copy already has its line from when it was first shared.
    if (replacing) return;
    std::string line = std::string(SHARE_OWNER) + '\\' + name;
    bool published = Catalog(files_).publish(line);
    logEvent("publish",
             {{"by", "console"}, {"line", line}, {"result", published ? "ok" : "failed"}});
    if (!published) {
        showErrorBox(this, QStringLiteral("The file was copied, but the shared file list could "
                                          "not be updated."));
    }
}

void ManageFilesDialog::unshareSelectedFile() {
    std::optional<std::string> name = sharedFiles_->selectedEntry();
    if (!name) {
        showErrorBox(this, NO_FILE_SELECTED);
        return;
    }
    // A stored path would split such a name and reach another file.
    if (name->find('\\') != std::string::npos) {
        showErrorBox(this, QStringLiteral("This file cannot be unshared here: its name holds a "
                                          "backslash."));
        return;
    }
    std::string line = std::string(SHARE_OWNER) + '\\' + *name;
    files_.removeFile("Users\\" + line);
    // A missing catalog stays missing. An existing one is rewritten through
    // the console's temporary and renamed over in one step, so no reader
    // ever finds it missing or half written.
    bool hadCatalog = files_.exists(Catalog::FILE_NAME);
    bool withdrawn = Catalog(files_).withdraw(line, Catalog::CONSOLE_TEMP, false) || !hadCatalog;
    logEvent("withdraw",
             {{"by", "console"}, {"line", line}, {"result", withdrawn ? "ok" : "failed"}});
    if (!withdrawn)
        showErrorBox(this, QStringLiteral("The shared file list could not be updated."));
}

void ManageFilesDialog::fillSharedList() {
    sharedFiles_->clear();
    std::vector<DirectoryEntry> entries;
    if (!files_.listDirectory(SHARE_FOLDER, entries)) return;
    for (const DirectoryEntry& entry : entries) {
        if (!entry.isDirectory) sharedFiles_->addEntry(entry.name);
    }
}

}  // namespace vextora::console
