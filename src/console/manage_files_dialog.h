// ManageFilesDialog: offers files of this machine to every client.
//
// The left half browses the local disk from "/": the current directory
// (1035, elided in the middle when long), its sub-folders (1032, with ".."
// below the root) and its files (1010). Double-clicking a folder, or Enter on
// it, enters it; ".." goes up. The right half (1011) lists the share folder
// Users\SERVERSHARE as it is on disk.
//
// "-> Share File" copies the selected file into the share folder and adds
// the catalog line SERVERSHARE\name, which clients then list and download;
// replacing an earlier copy leaves its line as it is. " Unshare File <-"
// deletes a copy and every catalog line equal to its line, rewriting the
// catalog atomically. Failures are shown in "Error" boxes; a failed copy adds
// no line and leaves an earlier copy whole. The server's users.dat and
// adminpass.cfg are never shared, by whatever path they are reached.
#pragma once

#include <QDialog>
#include <optional>
#include <string>
#include <string_view>

namespace vextora {

class FileSystem;

namespace console {

class PathField;
class SortedListBox;

class ManageFilesDialog final : public QDialog {
    Q_OBJECT
public:
    static constexpr int SHARE = 3;
    static constexpr int UNSHARE = 6;
    static constexpr int LOCAL_FILES = 1010;
    static constexpr int SHARED_FILES = 1011;
    static constexpr int DONE = 1018;
    static constexpr int FOLDERS = 1032;
    static constexpr int CURRENT_DIRECTORY = 1035;

    static constexpr std::string_view ROOT = "/";
    static constexpr std::string_view SHARE_OWNER = "SERVERSHARE";
    static constexpr std::string_view SHARE_FOLDER = "Users\\SERVERSHARE";

    // files (the server's data folder) must outlive the dialog.
    ManageFilesDialog(const FileSystem& files, QWidget* parent);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void onShareClicked();
    void onUnshareClicked();
    // A double-click on a folder, or Enter in the folder list.
    void onFolderOpened();
    void onOverwriteAnswered(int answer);

private:
    void setCurrentDirectory(std::string directory);
    // The path of the current directory's file `name`.
    std::string sourceOf(const std::string& name) const;
    // Which of this server's password files `source` is, if it is one:
    // users.dat or adminpass.cfg.
    std::optional<std::string_view> serverSecret(const std::string& source) const;
    // Shares the file selected in 1010, first asking whether to replace a
    // copy of that name; the answer comes to onOverwriteAnswered.
    void shareSelectedFile();
    void unshareSelectedFile();
    // Copies the file `name` of the current directory into the share folder;
    // adds its catalog line unless an earlier copy is being replaced.
    void share(const std::string& name, bool replacing);
    void fillSharedList();

    const FileSystem& files_;
    std::string currentDirectory_;  // shown in 1035; every action reads it from here
    std::string pendingName_;       // the file a Replace? question is about
    PathField* directoryText_;
    SortedListBox* folders_;
    SortedListBox* localFiles_;
    SortedListBox* sharedFiles_;
};

}  // namespace console
}  // namespace vextora
