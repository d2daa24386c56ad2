#pragma once
// The About box: "ﾊﾞｰｼﾞｮﾝ情報", icon 107, two lines and OK.
#include <QDialog>

// Its layout comes in dialog units of an 8-point "System" font dialog. The
// classic base units of that font are 8 x 16 pixels, so one horizontal unit
// is 8 / 4 = 2 px and one vertical unit 16 / 8 = 2 px.
inline constexpr int kDialogBaseUnitX = 8;
inline constexpr int kDialogBaseUnitY = 16;
inline constexpr int dialog_x(int units) { return units * kDialogBaseUnitX / 4; }
inline constexpr int dialog_y(int units) { return units * kDialogBaseUnitY / 8; }

inline constexpr const char* kAboutCaption = "ﾊﾞｰｼﾞｮﾝ情報";
inline constexpr const char* kAboutFirstLine = "quorel Version 1.0";
inline constexpr const char* kAboutSecondLine = "Bluetooth camera controller";

class AboutBox final : public QDialog {
  Q_OBJECT
 public:
  // Placed at (22, 17) dialog units from the owner's client area.
  explicit AboutBox(QWidget* owner);
};
