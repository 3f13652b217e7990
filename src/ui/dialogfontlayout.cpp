#include "ui/dialogfontlayout.h"

#include <QComboBox>

#include "ui/skinartwork.h"

namespace qv {

namespace {
// The base units of the template's 8-point font at 96 dots per inch (11 pixels high).
constexpr int kReferencePixels = 11;
constexpr BaseUnits kReferenceUnits{6, 13};
}  // namespace

bool DialogFontLayout::Apply(QWidget* client, const DialogTemplate& dialogTemplate, double dpi,
                             const FindControl& find) {
  const int pixels = FontPixelHeight(dialogTemplate.pointSize, dpi);
  m_font = SkinFont(pixels);
  m_units.width = (kReferenceUnits.width * pixels + kReferencePixels / 2) / kReferencePixels;
  m_units.height = (kReferenceUnits.height * pixels + kReferencePixels / 2) / kReferencePixels;

  m_oldFonts.emplace_back(client, client->font());
  client->setFont(m_font);
  const PixelRect size = ClientPixelRect(dialogTemplate, m_units);
  client->resize(size.width, size.height);

  for (const TemplateItem& item : dialogTemplate.items) {
    QWidget* control = find(item.id);
    if (!control) return false;
    const PixelRect r = ItemPixelRect(item, m_units);
    m_oldFonts.emplace_back(control, control->font());
    control->setFont(m_font);
    const int height =
        item.kind == TemplateItemKind::ComboBox ? control->sizeHint().height() : r.height;
    control->setGeometry(r.x, r.y, r.width, height);
  }
  return true;
}

void DialogFontLayout::Undo() {
  for (auto& [control, font] : m_oldFonts) {
    if (control) control->setFont(font);
  }
  m_oldFonts.clear();
}

}  // namespace qv
