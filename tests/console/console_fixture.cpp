#include "console/console_fixture.h"

#include <QApplication>
#include <QTest>
#include <QWindow>
#include <thread>

namespace vextora::test {

void ConsoleFixture::SetUp() {
    window_ = std::make_unique<console::QtWindowSystem>();
    ServerConfig config;
    config.controlPort = 0;
    config.transferPort = 0;
    config.root = dir_.str();
    config.idleWaitMs = idleWaitMs_;
    server_ = std::make_unique<Server>(config, *window_, clock_);
    window_->attach(server_->clients(), server_->files());
    std::string error;
    ASSERT_TRUE(server_->start(error)) << error;
    window_->showMainWindow();
}

void ConsoleFixture::TearDown() {
    if (server_) server_->shutdown();
    server_.reset();
    window_.reset();
}

bool ConsoleFixture::serveUntil(const std::function<bool()>& condition, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        server_->runPass();
    }
    return true;
}

std::unique_ptr<client::Client> ConsoleFixture::connect() {
    std::size_t before = server_->clients().size();
    auto client = std::make_unique<client::Client>("127.0.0.1", server_->controlPort(),
                                                   server_->transferPort());
    EXPECT_TRUE(client->connect(3000)) << client->connection().error();
    client->connection().setTimeout(10000);
    EXPECT_TRUE(serveUntil([&] { return server_->clients().size() == before + 1; }));
    return client;
}

std::unique_ptr<client::Client> ConsoleFixture::loginAs(const std::string& name,
                                                        const std::string& password) {
    auto client = connect();
    client::Status status = whileServing([&] {
        if (name != "ADMIN" && name != "GUEST") {
            client::Status created = client->createAccount(name, password);
            if (!created.ok() && created.reply != REPLY_BAD_NAME) return created;
        }
        return client->login(name, password);
    });
    EXPECT_TRUE(status.ok()) << name << ": " << status.message;
    return client;
}

void ConsoleFixture::click(QWidget* window, int buttonId) {
    if (auto* button = control<QPushButton>(window, buttonId)) button->click();
}

void ConsoleFixture::press(QWidget* window, int buttonId) {
    auto* button = control<QPushButton>(window, buttonId);
    if (button == nullptr || window->windowHandle() == nullptr) return;
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {},
                      button->mapTo(window, button->rect().center()));
}

QString ConsoleFixture::textOf(QWidget* window, int id) {
    auto* widget = control<QWidget>(window, id);
    if (widget == nullptr) return {};
    return widget->property("text").isValid() ? widget->property("text").toString()
                                              : widget->property("plainText").toString();
}

QMessageBox* ConsoleFixture::openBox(QWidget* owner) {
    for (QMessageBox* box : owner->findChildren<QMessageBox*>()) {
        if (box->isVisible()) return box;
    }
    return nullptr;
}

int ConsoleFixture::openBoxes(QWidget* owner) {
    int shown = 0;
    for (QMessageBox* box : owner->findChildren<QMessageBox*>()) shown += box->isVisible() ? 1 : 0;
    return shown;
}

bool ConsoleFixture::answerBox(QWidget* owner, QMessageBox::StandardButton button) {
    QMessageBox* box = openBox(owner);
    if (box == nullptr || box->button(button) == nullptr) return false;
    EXPECT_EQ(box->windowModality(), Qt::WindowModal) << "modal for its dialog only";
    box->button(button)->click();
    server_->runPass();  // the box goes away as the loop handles events
    return true;
}

std::string ConsoleFixture::takeError(QWidget* owner) {
    QMessageBox* box = openBox(owner);
    if (box == nullptr) return "";
    EXPECT_EQ(box->windowTitle(), "Error");
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    std::string text = box->text().toStdString();
    answerBox(owner, QMessageBox::Ok);
    return text;
}

}  // namespace vextora::test
