// The executable's message boxes: modal QMessageBoxes over the active window. Their nested event
// loop keeps the engine's message window pumped, as a modal box does on the platform.
#include <QApplication>
#include <QMessageBox>
#include <QString>

#include "ktreporter/ktreporterapp.h"
#include "platform/codepage.h"
#include "platform/msgbox.h"
#include "platform/trace.h"

namespace kt {

void InstallQtMessageBox() {
    SetMessageBoxHandler(
        [](std::u16string_view strText, std::u16string_view strCaption, unsigned uType) -> int {
            // What a box said is worth having in the trace: it is the only record of a refusal
            // or a server reply once the box is gone.
            KT_TRACE("MessageBox [%s] %s\n", ToUtf8(strCaption).c_str(), ToUtf8(strText).c_str());
            QMessageBox box(QApplication::activeWindow());
            box.setWindowTitle(
                QString::fromUtf16(strCaption.data(), static_cast<qsizetype>(strCaption.size())));
            box.setText(QString::fromUtf16(strText.data(), static_cast<qsizetype>(strText.size())));
            box.setTextFormat(Qt::PlainText);
            switch (uType & 0xF0u) {
                case kMbIconError:
                    box.setIcon(QMessageBox::Critical);
                    break;
                case kMbIconQuestion:
                    box.setIcon(QMessageBox::Question);
                    break;
                case kMbIconWarning:
                    box.setIcon(QMessageBox::Warning);
                    break;
                case kMbIconInformation:
                    box.setIcon(QMessageBox::Information);
                    break;
                default:
                    break;
            }
            switch (uType & 0x0Fu) {
                case kMbOkCancel:
                    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
                    box.setDefaultButton(QMessageBox::Ok);
                    break;
                case kMbYesNo:
                    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
                    box.setDefaultButton(QMessageBox::Yes);
                    break;
                default:
                    box.setStandardButtons(QMessageBox::Ok);
                    box.setDefaultButton(QMessageBox::Ok);
                    break;
            }
            switch (box.exec()) {
                case QMessageBox::Cancel:
                    return kIdCancel;
                case QMessageBox::Yes:
                    return kIdYes;
                case QMessageBox::No:
                    return kIdNo;
                default:
                    return kIdOk;
            }
        });
}

}  // namespace kt
