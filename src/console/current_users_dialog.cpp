#include "console/current_users_dialog.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/controls.h"
#include "platform/event_log.h"
#include "server/client_list.h"
#include "server/protocol.h"

namespace vextora::console {

namespace {

QLabel* addField(QFormLayout* form, const QString& caption, int id) {
    auto* value = new QLabel;
    setControlId(value, id);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(caption, value);
    return value;
}

QPushButton* addButton(QBoxLayout* row, int id, const QString& caption) {
    auto* button = new QPushButton(caption);
    setControlId(button, id);
    button->setAutoDefault(false);
    row->addWidget(button);
    return button;
}

QString withUnit(std::uint32_t value, const char* unit) {
    return QString::number(value) + QLatin1String(unit);
}

}  // namespace

CurrentUsersDialog::CurrentUsersDialog(ClientList& clients, QWidget* parent)
    : QDialog(parent), clients_(clients) {
    setWindowTitle(QStringLiteral("User Information"));

    auto* listColumn = new QVBoxLayout;
    listColumn->addWidget(new QLabel(QStringLiteral("Current Users:")));
    users_ = new SortedListBox;
    setControlId(users_, USERS);
    listColumn->addWidget(users_);

    auto* frame = new QGroupBox(QStringLiteral("User Info"));
    auto* form = new QFormLayout(frame);
    form->setLabelAlignment(Qt::AlignRight);
    address_ = addField(form, QStringLiteral("IP Address:"), ADDRESS);
    filesShared_ = addField(form, QStringLiteral("Files Shared:"), FILES_SHARED);
    connectedTime_ = addField(form, QStringLiteral("Connected Time:"), CONNECTED_TIME);
    direction_ = addField(form, QStringLiteral("File Transfer:"), DIRECTION);
    rate_ = addField(form, QStringLiteral("Transfer Rate:"), RATE);
    fileSize_ = addField(form, QStringLiteral("File Size:"), FILE_SIZE);
    bytesDone_ = addField(form, QStringLiteral("Bytes Transferred:"), BYTES_DONE);
    frame->setMinimumWidth(260);

    auto* top = new QHBoxLayout;
    top->addLayout(listColumn);
    top->addWidget(frame);

    auto* buttons = new QHBoxLayout;
    QPushButton* info = addButton(buttons, GET_USER_INFO, QStringLiteral("Get User Info"));
    QPushButton* drop = addButton(buttons, DROP_USER, QStringLiteral("Drop User"));
    buttons->addStretch();
    QPushButton* done = addButton(buttons, DONE, QStringLiteral("Done"));

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(buttons);

    connect(info, &QPushButton::clicked, this, &CurrentUsersDialog::onGetUserInfoClicked);
    connect(drop, &QPushButton::clicked, this, &CurrentUsersDialog::onDropUserClicked);
    connect(done, &QPushButton::clicked, this, &QDialog::close);

    for (std::size_t i = 0; i < clients_.size(); ++i) users_->addEntry(clients_.at(i).userName);
}

void CurrentUsersDialog::onGetUserInfoClicked() {
    std::optional<std::string> name = users_->selectedEntry();
    if (!name) {
        showErrorBox(this, QStringLiteral("No user selected."));
        return;
    }
    ClientSession* session = clients_.findByName(*name);
    if (session == nullptr) {
        showErrorBox(this, QStringLiteral("Client has already disconnected."));
        removeSelectedEntry();
        return;
    }

    UserInfoSnapshot info = session->snapshot();
    address_->setText(displayText(info.peerAddress));
    filesShared_->setText(QString::number(info.sharedFileCount));
    connectedTime_->setText(withUnit(info.connectedMs / 1000, " seconds"));
    if (info.direction == DIRECTION_NONE) {
        direction_->setText(QStringLiteral("None"));
        rate_->clear();
        fileSize_->clear();
        bytesDone_->clear();
        return;
    }
    direction_->setText(info.direction == DIRECTION_TO_SERVER ? QStringLiteral("To Server")
                                                              : QStringLiteral("To Client"));
    // Sizes are shown unsigned: a size the server could not measure reads
    // 4294967295, never as a negative number.
    rate_->setText(withUnit(info.rateKBps, " kb/s"));
    fileSize_->setText(withUnit(info.transferSize, " bytes"));
    bytesDone_->setText(withUnit(info.transferDone, " bytes"));
}

void CurrentUsersDialog::onDropUserClicked() {
    std::optional<std::string> name = users_->selectedEntry();
    if (!name) {
        showErrorBox(this, QStringLiteral("No user selected."));
        return;
    }
    bool dropped = clients_.kickUserByName(*name);
    logEvent("kick",
             {{"by", "console"}, {"user", *name}, {"result", dropped ? "ok" : "not_connected"}});
    if (!dropped) showErrorBox(this, QStringLiteral("Client already disconnected."));
    removeSelectedEntry();
}

void CurrentUsersDialog::removeSelectedEntry() {
    // Nothing is selected afterwards, so the fields go too: figures of a
    // client that is no longer listed would be read as another's.
    users_->removeSelectedEntry();
    for (QLabel* field :
         {address_, filesShared_, connectedTime_, direction_, rate_, fileSize_, bytesDone_})
        field->clear();
}

}  // namespace vextora::console
