// The console tests run their widgets on Qt's offscreen platform, also when
// CTest lists them.
#include <gtest/gtest.h>

#include <QApplication>

namespace {

QtMessageHandler defaultHandler = nullptr;

// The offscreen platform remarks on every fixed-size window; nothing else is
// kept from the output.
void dropPlatformRemarks(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.contains(QLatin1String("propagateSizeHints"))) return;
    defaultHandler(type, context, text);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    defaultHandler = qInstallMessageHandler(dropPlatformRemarks);
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
