// The profile on Linux: QSettings of organisation strKey and application strAppName, one group per
// section. The file holds the user's name, e-mail and phone, so it is made readable by the user
// alone before anything is written to it, and narrowed again should an older run have left it
// open to others.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QString>

#include "platform/profile.h"

namespace kt {
namespace {

QString ToQString(std::u16string_view str) {
    return QString::fromUtf16(str.data(), static_cast<qsizetype>(str.size()));
}

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

class CQtProfileStore final : public IProfileStore {
public:
    CQtProfileStore(std::u16string_view strKey, std::u16string_view strAppName)
        : m_strKey(ToQString(strKey)), m_strAppName(ToQString(strAppName)) {}

    bool WriteString(std::u16string_view strSection, std::u16string_view strEntry,
                     std::u16string_view strValue) override {
        QSettings settings(QSettings::UserScope, m_strKey, m_strAppName);
        const QString strFile = settings.fileName();
        // The file is rewritten through a new file that takes over the old one's permissions, so
        // a file that exists with the owner's permissions stays that way.
        QDir().mkpath(QFileInfo(strFile).absolutePath());
        QFile file(strFile);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, kOwnerOnly)) {
            file.setPermissions(kOwnerOnly);
        }
        file.close();
        settings.beginGroup(ToQString(strSection));
        settings.setValue(ToQString(strEntry), ToQString(strValue));
        settings.endGroup();
        settings.sync();
        QFile::setPermissions(strFile, kOwnerOnly);
        return settings.status() == QSettings::NoError;
    }

    std::optional<std::u16string> GetString(std::u16string_view strSection,
                                            std::u16string_view strEntry) const override {
        const QSettings settings(QSettings::UserScope, m_strKey, m_strAppName);
        const QVariant value =
            settings.value(ToQString(strSection) + QLatin1Char('/') + ToQString(strEntry));
        if (!value.isValid()) return std::nullopt;
        return value.toString().toStdU16String();
    }

private:
    QString m_strKey;
    QString m_strAppName;
};

}  // namespace

std::unique_ptr<IProfileStore> OpenUserProfile(std::u16string_view strKey,
                                               std::u16string_view strAppName) {
    return std::make_unique<CQtProfileStore>(strKey, strAppName);
}

}  // namespace kt
