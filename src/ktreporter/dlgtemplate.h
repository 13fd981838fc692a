// Dialog template 525, the feedback dialog, as the family's resource script has it: positions and
// sizes in dialog units, texts as shown, controls in creation (and tab) order. The Qt dialog lays
// itself out from this table; kept free of Qt so the layout rules can be checked without a screen.
#pragma once

#include <array>
#include <string_view>

namespace kt {

inline constexpr int IDD_FEEDBACK = 525;
inline constexpr int IDC_STATIC = -1;
inline constexpr int IDC_EDIT_NAME = 1136;
inline constexpr int IDC_EDIT_EMAIL = 1146;
inline constexpr int IDC_EDIT_PHONE = 1206;
inline constexpr int IDC_EDIT_TITLE = 1207;
inline constexpr int IDC_EDIT_DESC = 1208;
inline constexpr int IDC_PROGRESS = 1110;
inline constexpr int IDC_BTN_SUBMIT = 1541;
inline constexpr int IDC_BTN_EXIT = 1542;

inline constexpr std::u16string_view kFeedbackCaption = u"问题反馈";
inline constexpr int kFeedbackWidthDlu = 229;
inline constexpr int kFeedbackHeightDlu = 249;
inline constexpr std::string_view kFeedbackFontFace = "MS Shell Dlg";
inline constexpr int kFeedbackFontPoints = 8;

enum class DlgItemKind {
    GroupBox,
    Label,
    Edit,
    MultiLineEdit,
    Progress,
    DefPushButton,
    PushButton
};

struct DLGITEM {
    DlgItemKind kind;
    int nId;
    std::u16string_view strText;
    int x, y, cx, cy;
};

inline constexpr std::array<DLGITEM, 16> kFeedbackItems = {{
    {DlgItemKind::GroupBox, IDC_STATIC, u"用户信息", 7, 7, 215, 66},
    {DlgItemKind::Label, IDC_STATIC, u"*客户姓名:", 11, 19, 40, 8},
    {DlgItemKind::Edit, IDC_EDIT_NAME, u"", 52, 16, 50, 14},
    {DlgItemKind::Label, IDC_STATIC, u"带(*)号的部分不能为空", 127, 19, 87, 8},
    {DlgItemKind::Label, IDC_STATIC, u"*客户邮箱:", 11, 35, 40, 8},
    {DlgItemKind::Edit, IDC_EDIT_EMAIL, u"", 52, 32, 163, 14},
    {DlgItemKind::Label, IDC_STATIC, u"联系电话:", 15, 50, 36, 8},
    {DlgItemKind::Edit, IDC_EDIT_PHONE, u"", 52, 48, 163, 14},
    {DlgItemKind::GroupBox, IDC_STATIC, u"反馈描述", 7, 76, 215, 150},
    {DlgItemKind::Label, IDC_STATIC, u"*问题标题:", 11, 89, 40, 8},
    {DlgItemKind::Edit, IDC_EDIT_TITLE, u"", 52, 86, 163, 14},
    {DlgItemKind::Label, IDC_STATIC, u"*问题描述:", 11, 105, 40, 8},
    {DlgItemKind::MultiLineEdit, IDC_EDIT_DESC, u"", 52, 103, 163, 119},
    {DlgItemKind::Progress, IDC_PROGRESS, u"", 7, 228, 110, 14},
    {DlgItemKind::DefPushButton, IDC_BTN_SUBMIT, u"递交(&S)", 120, 228, 50, 14},
    {DlgItemKind::PushButton, IDC_BTN_EXIT, u"退出(&X)", 172, 228, 50, 14},
}};

// Dialog units to pixels as Windows converts them: x by the average character width of the
// dialog's font over four, y by its height over eight, rounded (MulDiv).
struct DIALOG_BASE_UNITS {
    int nBaseX;
    int nBaseY;
};
inline constexpr int MapDluX(int nDlu, const DIALOG_BASE_UNITS& units) {
    return (nDlu * units.nBaseX * 2 + (nDlu >= 0 ? 4 : -4)) / 8;
}
inline constexpr int MapDluY(int nDlu, const DIALOG_BASE_UNITS& units) {
    return (nDlu * units.nBaseY * 2 + (nDlu >= 0 ? 8 : -8)) / 16;
}

}  // namespace kt
