#include "ui/skinartwork.h"

#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>

namespace qv {

namespace {

enum class Glyph {
  None, Minimize, Exit, AddFiles, AddFolder, Remove, RemoveAll, Play, Normalization, Convert,
  Options, More, Help, Browse, Cancel, Stop
};
enum class Style { Tile, WindowControl, FooterButton, ToggleOff, ToggleOn, BigAction, Cancel };

struct ButtonArt {
  const char* baseName;
  int width, height;
  const char* caption;
  Glyph glyph;
  Style style;
};

constexpr ButtonArt kButtons[] = {
    {"BITMAP_MINIMIZE", 25, 22, "Minimize", Glyph::Minimize, Style::WindowControl},
    {"BITMAP_EXIT", 25, 22, "Exit", Glyph::Exit, Style::WindowControl},
    {"BITMAP_ADDFILES", 63, 52, "Add Files", Glyph::AddFiles, Style::Tile},
    {"BITMAP_ADDFOLDER", 63, 52, "Add Folder", Glyph::AddFolder, Style::Tile},
    {"BITMAP_REMOVE", 63, 52, "Remove", Glyph::Remove, Style::Tile},
    {"BITMAP_REMOVEALL", 63, 52, "Remove All", Glyph::RemoveAll, Style::Tile},
    {"BITMAP_PLAY", 63, 52, "Play", Glyph::Play, Style::Tile},
    // What the Play button shows while the preview plays.
    {"BITMAP_STOP", 63, 52, "Stop", Glyph::Stop, Style::Tile},
    {"BITMAP_NORMALIZATION", 84, 52, "Normalization", Glyph::Normalization, Style::Tile},
    {"BITMAP_CONVERT1", 63, 52, "Convert", Glyph::Convert, Style::Tile},
    {"BITMAP_OPTIONS", 63, 52, "Options", Glyph::Options, Style::Tile},
    {"BITMAP_MORE", 63, 52, "More", Glyph::More, Style::Tile},
    {"BITMAP_HELP", 63, 52, "Help", Glyph::Help, Style::Tile},
    {"BITMAP_BROWSE", 71, 24, "Browse", Glyph::Browse, Style::FooterButton},
    {"BITMAP_OUTPUTTOSAMEFOLDER1", 175, 14, "Output to Same Folder", Glyph::None, Style::ToggleOff},
    {"BITMAP_OUTPUTTOSAMEFOLDER2", 175, 14, "Output to Same Folder", Glyph::None, Style::ToggleOn},
    {"BITMAP_SKIPPROBLEMFILES1", 185, 14, "Skip Problem Files", Glyph::None, Style::ToggleOff},
    {"BITMAP_SKIPPROBLEMFILES2", 185, 14, "Skip Problem Files", Glyph::None, Style::ToggleOn},
    {"BITMAP_CALCULATELOUDNESS1", 175, 14, "Calculate Loudness", Glyph::None, Style::ToggleOff},
    {"BITMAP_CALCULATELOUDNESS2", 175, 14, "Calculate Loudness", Glyph::None, Style::ToggleOn},
    {"BITMAP_CONVERT2", 62, 62, "Convert", Glyph::Convert, Style::BigAction},
    {"BITMAP_CANCEL", 57, 17, "Cancel", Glyph::Cancel, Style::Cancel},
};

// The palette of the skin. The header's two bands and the footer's two bands are flat colours,
// so a button image drawn on the same colour blends in wherever the button sits.
const QColor kTitleBand(0x1b, 0x23, 0x33);
const QColor kButtonBand(0x24, 0x30, 0x49);
const QColor kAccent(0x3d, 0x8b, 0xfd);
const QColor kAccentDark(0x2a, 0x64, 0xc8);
const QColor kPanel(0xee, 0xf1, 0xf5);
const QColor kStatusBand(0xdc, 0xe2, 0xea);
const QColor kInk(0x1d, 0x27, 0x38);
const QColor kAddGreen(0x3e, 0xc9, 0x8a);
const QColor kRemoveRed(0xef, 0x6b, 0x6b);

const ButtonArt* FindArt(const QString& baseName) {
  for (const ButtonArt& art : kButtons) {
    if (baseName == QLatin1String(art.baseName)) return &art;
  }
  return nullptr;
}

// Draws `text` centred (or left-aligned) in `box`, narrowing the font until it fits.
void DrawFittedText(QPainter& p, const QRectF& box, const QString& text, QFont font,
                    Qt::Alignment align) {
  for (int stretch = 100; stretch >= 70; stretch -= 5) {
    font.setStretch(stretch);
    if (QFontMetrics(font).horizontalAdvance(text) <= box.width()) break;
  }
  p.setFont(font);
  p.drawText(box, static_cast<int>(align | Qt::AlignVCenter | Qt::TextSingleLine), text);
}

QPainterPath Document(const QRectF& r) {
  const qreal fold = r.width() * 0.35;
  QPainterPath path;
  path.moveTo(r.left(), r.top());
  path.lineTo(r.right() - fold, r.top());
  path.lineTo(r.right(), r.top() + fold);
  path.lineTo(r.right(), r.bottom());
  path.lineTo(r.left(), r.bottom());
  path.closeSubpath();
  path.moveTo(r.right() - fold, r.top());
  path.lineTo(r.right() - fold, r.top() + fold);
  path.lineTo(r.right(), r.top() + fold);
  return path;
}

QPainterPath Folder(const QRectF& r) {
  const qreal tabW = r.width() * 0.4;
  const qreal tabH = r.height() * 0.18;
  QPainterPath path;
  path.moveTo(r.left(), r.bottom());
  path.lineTo(r.left(), r.top());
  path.lineTo(r.left() + tabW, r.top());
  path.lineTo(r.left() + tabW + tabH, r.top() + tabH);
  path.lineTo(r.right(), r.top() + tabH);
  path.lineTo(r.right(), r.bottom());
  path.closeSubpath();
  path.moveTo(r.left(), r.top() + tabH * 2);
  path.lineTo(r.right(), r.top() + tabH * 2);
  return path;
}

// A round badge with a plus, minus or cross in the lower right corner of a glyph.
void Badge(QPainter& p, QPointF centre, qreal radius, const QColor& fill, char sign,
           const QColor& background) {
  p.setPen(QPen(background, 1.5));
  p.setBrush(fill);
  p.drawEllipse(centre, radius, radius);
  p.setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap));
  const qreal a = radius * 0.5;
  if (sign == 'x') {
    p.drawLine(centre + QPointF(-a, -a), centre + QPointF(a, a));
    p.drawLine(centre + QPointF(-a, a), centre + QPointF(a, -a));
    return;
  }
  p.drawLine(centre + QPointF(-a - 0.5, 0), centre + QPointF(a + 0.5, 0));
  if (sign == '+') p.drawLine(centre + QPointF(0, -a - 0.5), centre + QPointF(0, a + 0.5));
}

void DrawGear(QPainter& p, QPointF c, qreal radius, const QColor& color,
              const QColor& background) {
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  for (int i = 0; i < 8; ++i) {
    p.save();
    p.translate(c);
    p.rotate(i * 45.0);
    p.drawRoundedRect(QRectF(-radius * 0.22, -radius * 1.25, radius * 0.44, radius * 0.6), 1, 1);
    p.restore();
  }
  p.drawEllipse(c, radius, radius);
  p.setBrush(background);
  p.drawEllipse(c, radius * 0.42, radius * 0.42);
}

// A sound wave on the left, an arrow to the right: turning one format into another.
void DrawConvert(QPainter& p, const QRectF& r, const QColor& color) {
  QPainterPath wave;
  const qreal midY = r.center().y();
  const qreal waveW = r.width() * 0.45;
  wave.moveTo(r.left(), midY);
  for (int i = 1; i <= 24; ++i) {
    const qreal t = i / 24.0;
    wave.lineTo(r.left() + t * waveW, midY - qSin(t * 2 * M_PI * 1.5) * r.height() * 0.32);
  }
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(color, r.height() / 11.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPath(wave);
  const qreal ax = r.left() + waveW + r.width() * 0.08;
  p.drawLine(QPointF(ax, midY), QPointF(r.right() - r.width() * 0.05, midY));
  QPainterPath head;
  head.moveTo(r.right(), midY);
  head.lineTo(r.right() - r.width() * 0.22, midY - r.height() * 0.26);
  head.lineTo(r.right() - r.width() * 0.22, midY + r.height() * 0.26);
  head.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  p.drawPath(head);
}

// Draws the glyph in the square `r`. `background` is the colour behind it (for cut-outs),
// `badges` false greys the coloured badges of a disabled button.
void DrawGlyph(QPainter& p, Glyph glyph, const QRectF& r, const QColor& color,
               const QColor& background, bool badges) {
  const QPen line(color, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  const QColor green = badges ? kAddGreen : color;
  const QColor red = badges ? kRemoveRed : color;
  const qreal u = r.width() / 24.0;
  auto at = [&](qreal x, qreal y) { return QPointF(r.left() + x * u, r.top() + y * u); };
  auto box = [&](qreal x, qreal y, qreal w, qreal h) {
    return QRectF(r.left() + x * u, r.top() + y * u, w * u, h * u);
  };
  // The X of Exit and Cancel, in a pen `width` wide.
  auto cross = [&](qreal width) {
    p.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(at(6, 6), at(18, 18));
    p.drawLine(at(6, 18), at(18, 6));
  };
  p.save();
  switch (glyph) {
    case Glyph::None: break;
    case Glyph::Minimize:
      p.setPen(QPen(color, 2.0, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(at(5, 17), at(19, 17));
      break;
    case Glyph::Exit:
      cross(2.0);
      break;
    case Glyph::AddFiles:
    case Glyph::Remove:
      p.setPen(line);
      p.setBrush(Qt::NoBrush);
      p.drawPath(Document(box(4, 1, 14, 19)));
      Badge(p, at(17.5, 17.5), 5.2 * u, glyph == Glyph::AddFiles ? green : red,
            glyph == Glyph::AddFiles ? '+' : '-', background);
      break;
    case Glyph::AddFolder:
      p.setPen(line);
      p.setBrush(Qt::NoBrush);
      p.drawPath(Folder(box(1, 3, 20, 16)));
      Badge(p, at(18, 18), 5.2 * u, green, '+', background);
      break;
    case Glyph::RemoveAll:
      p.setPen(line);
      p.setBrush(Qt::NoBrush);
      p.drawPath(Document(box(7, 0.5, 12, 16)));
      p.setBrush(background);
      p.drawPath(Document(box(3, 4, 12, 16)));
      Badge(p, at(17.5, 17.5), 5.2 * u, red, 'x', background);
      break;
    case Glyph::Play: {
      p.setPen(line);
      p.setBrush(Qt::NoBrush);
      p.drawEllipse(at(12, 12), 10 * u, 10 * u);
      QPainterPath tri;
      tri.moveTo(at(9.5, 7));
      tri.lineTo(at(17.5, 12));
      tri.lineTo(at(9.5, 17));
      tri.closeSubpath();
      p.setPen(Qt::NoPen);
      p.setBrush(color);
      p.drawPath(tri);
      break;
    }
    case Glyph::Stop:
      p.setPen(line);
      p.setBrush(Qt::NoBrush);
      p.drawEllipse(at(12, 12), 10 * u, 10 * u);
      p.setPen(Qt::NoPen);
      p.setBrush(color);
      p.drawRoundedRect(box(8, 8, 8, 8), 1.2 * u, 1.2 * u);
      break;
    case Glyph::Normalization: {
      // Uneven bars brought to one level: the target line across them.
      p.setPen(Qt::NoPen);
      p.setBrush(color);
      const qreal heights[] = {9, 15, 6, 12, 8};
      for (int i = 0; i < 5; ++i) {
        p.drawRoundedRect(box(2.5 + i * 4, 21 - heights[i], 2.8, heights[i]), 0.8, 0.8);
      }
      p.setPen(QPen(badges ? kAccent.lighter(130) : color, 1.6, Qt::DashLine, Qt::FlatCap));
      p.drawLine(at(0.5, 8.5), at(23.5, 8.5));
      break;
    }
    case Glyph::Convert: DrawConvert(p, box(1, 5, 22, 14), color); break;
    case Glyph::Options: DrawGear(p, at(12, 12), 7.2 * u, color, background); break;
    case Glyph::More:
      p.setPen(Qt::NoPen);
      p.setBrush(color);
      for (int i = 0; i < 3; ++i) p.drawEllipse(at(5 + i * 7, 12), 2.4 * u, 2.4 * u);
      break;
    case Glyph::Help: {
      p.setPen(line);
      p.setBrush(Qt::NoBrush);
      p.drawEllipse(at(12, 12), 10 * u, 10 * u);
      QFont font = SkinFont(static_cast<int>(15 * u), true);
      p.setFont(font);
      p.drawText(box(2, 2, 20, 20), Qt::AlignCenter, QStringLiteral("?"));
      break;
    }
    case Glyph::Browse:
      p.setPen(QPen(color, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p.setBrush(Qt::NoBrush);
      p.drawPath(Folder(box(2, 4, 20, 16)));
      break;
    case Glyph::Cancel:
      cross(1.6);
      break;
  }
  p.restore();
}

struct Look {
  QColor background;  // behind the button (the band it sits on)
  QColor fill;
  QColor border;
  QColor ink;
};

Look TileLook(ButtonImageState state) {
  const QColor light(0xe6, 0xec, 0xf6);
  switch (state) {
    case ButtonImageState::Up:
      return {kButtonBand, QColor(0x2e, 0x3c, 0x59), QColor(0x3b, 0x4b, 0x6c), light};
    case ButtonImageState::Focused:
      return {kButtonBand, QColor(0x37, 0x51, 0x7c), kAccent, Qt::white};
    case ButtonImageState::Down:
      return {kButtonBand, QColor(0x1b, 0x26, 0x3d), kAccent, Qt::white};
    case ButtonImageState::Disabled:
      return {kButtonBand, QColor(0x28, 0x33, 0x4c), QColor(0x2f, 0x3b, 0x56),
              QColor(0x6e, 0x7b, 0x93)};
  }
  return {};
}

void RenderTile(QPainter& p, const ButtonArt& art, ButtonImageState state) {
  const Look look = TileLook(state);
  const qreal shift = state == ButtonImageState::Down ? 1.0 : 0.0;
  p.fillRect(QRect(0, 0, art.width, art.height), look.background);
  p.setPen(QPen(look.border, 1));
  p.setBrush(look.fill);
  p.drawRoundedRect(QRectF(0.5, 0.5, art.width - 1, art.height - 1), 6, 6);
  const qreal g = 22;
  DrawGlyph(p, art.glyph, QRectF((art.width - g) / 2 + shift, 5 + shift, g, g), look.ink,
            look.fill, state != ButtonImageState::Disabled);
  p.setPen(look.ink);
  DrawFittedText(p, QRectF(2 + shift, 31 + shift, art.width - 4, 16),
                 QString::fromLatin1(art.caption), SkinFont(11), Qt::AlignHCenter);
}

void RenderWindowControl(QPainter& p, const ButtonArt& art, ButtonImageState state) {
  p.fillRect(QRect(0, 0, art.width, art.height), kTitleBand);
  const bool exit = art.glyph == Glyph::Exit;
  QColor fill = kTitleBand;
  QColor ink(0xc9, 0xd3, 0xe3);
  if (state == ButtonImageState::Focused) {
    fill = exit ? QColor(0xd9, 0x4f, 0x4a) : QColor(0x35, 0x44, 0x63);
    ink = Qt::white;
  } else if (state == ButtonImageState::Down) {
    fill = exit ? QColor(0xb0, 0x3c, 0x38) : QColor(0x2a, 0x36, 0x50);
    ink = Qt::white;
  } else if (state == ButtonImageState::Disabled) {
    ink = QColor(0x5d, 0x68, 0x7c);
  }
  p.setPen(Qt::NoPen);
  p.setBrush(fill);
  p.drawRoundedRect(QRectF(0, 0, art.width, art.height), 4, 4);
  DrawGlyph(p, art.glyph, QRectF((art.width - 18) / 2.0, (art.height - 18) / 2.0, 18, 18), ink,
            fill, true);
}

void RenderFooterButton(QPainter& p, const ButtonArt& art, ButtonImageState state) {
  p.fillRect(QRect(0, 0, art.width, art.height), kPanel);
  QColor fill = Qt::white;
  QColor border(0xa9, 0xb5, 0xc6);
  QColor ink = kInk;
  if (state == ButtonImageState::Focused) {
    fill = QColor(0xe4, 0xef, 0xff);
    border = kAccent;
  } else if (state == ButtonImageState::Down) {
    fill = QColor(0xcf, 0xe0, 0xfb);
    border = kAccentDark;
  } else if (state == ButtonImageState::Disabled) {
    fill = QColor(0xf4, 0xf6, 0xf9);
    border = QColor(0xd2, 0xd8, 0xe1);
    ink = QColor(0xa0, 0xaa, 0xb8);
  }
  const qreal shift = state == ButtonImageState::Down ? 1.0 : 0.0;
  p.setPen(QPen(border, 1));
  p.setBrush(fill);
  p.drawRoundedRect(QRectF(0.5, 0.5, art.width - 1, art.height - 1), 4, 4);
  DrawGlyph(p, art.glyph, QRectF(6 + shift, 4 + shift, 16, 16), ink, fill, true);
  p.setPen(ink);
  DrawFittedText(p, QRectF(25 + shift, shift, art.width - 29, art.height),
                 QString::fromLatin1(art.caption), SkinFont(11), Qt::AlignLeft);
}

void RenderToggle(QPainter& p, const ButtonArt& art, ButtonImageState state) {
  const bool on = art.style == Style::ToggleOn;
  p.fillRect(QRect(0, 0, art.width, art.height), kPanel);
  QColor box = on ? kAccent : Qt::white;
  QColor border = on ? kAccentDark : QColor(0x7f, 0x8c, 0xa2);
  QColor ink = kInk;
  if (state == ButtonImageState::Focused) {
    border = kAccentDark;
    ink = kAccentDark;
    if (!on) box = QColor(0xe4, 0xef, 0xff);
  } else if (state == ButtonImageState::Down) {
    box = on ? kAccentDark : QColor(0xcf, 0xe0, 0xfb);
    border = kAccentDark;
  } else if (state == ButtonImageState::Disabled) {
    box = on ? QColor(0xa9, 0xbd, 0xdb) : QColor(0xf4, 0xf6, 0xf9);
    border = QColor(0xb8, 0xc1, 0xce);
    ink = QColor(0x9a, 0xa4, 0xb3);
  }
  p.setPen(QPen(border, 1));
  p.setBrush(box);
  p.drawRoundedRect(QRectF(1.5, 1.5, 11, 11), 2.5, 2.5);
  if (on) {
    p.setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath tick;
    tick.moveTo(4.2, 7.2);
    tick.lineTo(6.4, 9.6);
    tick.lineTo(10.2, 4.6);
    p.setBrush(Qt::NoBrush);
    p.drawPath(tick);
  }
  p.setPen(ink);
  DrawFittedText(p, QRectF(18, -1, art.width - 19, art.height + 1),
                 QString::fromLatin1(art.caption), SkinFont(11), Qt::AlignLeft);
}

void RenderBigAction(QPainter& p, const ButtonArt& art, ButtonImageState state) {
  p.fillRect(QRect(0, 0, art.width, art.height), kPanel);
  QColor top = QColor(0x52, 0x9b, 0xff);
  QColor bottom = kAccentDark;
  QColor ink = Qt::white;
  if (state == ButtonImageState::Focused) {
    top = QColor(0x6e, 0xad, 0xff);
    bottom = kAccent;
  } else if (state == ButtonImageState::Down) {
    top = kAccentDark;
    bottom = QColor(0x22, 0x52, 0xa6);
  } else if (state == ButtonImageState::Disabled) {
    top = QColor(0xc6, 0xcf, 0xdb);
    bottom = QColor(0xb4, 0xbe, 0xcc);
    ink = QColor(0xf2, 0xf4, 0xf7);
  }
  QLinearGradient gradient(0, 0, 0, art.height);
  gradient.setColorAt(0, top);
  gradient.setColorAt(1, bottom);
  p.setPen(state == ButtonImageState::Focused ? QPen(kAccentDark, 1.5) : Qt::NoPen);
  p.setBrush(gradient);
  p.drawRoundedRect(QRectF(1, 1, art.width - 2, art.height - 2), 10, 10);
  const qreal shift = state == ButtonImageState::Down ? 1.0 : 0.0;
  DrawGlyph(p, Glyph::Convert, QRectF(13 + shift, 8 + shift, 36, 36), ink, bottom, false);
  p.setPen(ink);
  DrawFittedText(p, QRectF(3 + shift, 41 + shift, art.width - 6, 16),
                 QString::fromLatin1(art.caption), SkinFont(11, true), Qt::AlignHCenter);
}

void RenderCancel(QPainter& p, const ButtonArt& art, ButtonImageState state) {
  p.fillRect(QRect(0, 0, art.width, art.height), kStatusBand);
  QColor fill(0xd6, 0x4d, 0x48);
  QColor ink = Qt::white;
  if (state == ButtonImageState::Focused) fill = QColor(0xe6, 0x62, 0x5c);
  if (state == ButtonImageState::Down) fill = QColor(0xae, 0x3a, 0x36);
  if (state == ButtonImageState::Disabled) {
    fill = QColor(0xc4, 0xcb, 0xd5);
    ink = QColor(0xee, 0xf1, 0xf5);
  }
  p.setPen(Qt::NoPen);
  p.setBrush(fill);
  p.drawRoundedRect(QRectF(0, 0, art.width, art.height), 8.5, 8.5);
  DrawGlyph(p, Glyph::Cancel, QRectF(6, 3.5, 10, 10), ink, fill, false);
  p.setPen(ink);
  DrawFittedText(p, QRectF(18, 0, art.width - 22, art.height), QString::fromLatin1(art.caption),
                 SkinFont(11, true), Qt::AlignLeft);
}

// A small waveform in a rounded square: the mark in the header.
void DrawLogo(QPainter& p, const QRectF& r) {
  QLinearGradient gradient(r.topLeft(), r.bottomRight());
  gradient.setColorAt(0, QColor(0x5a, 0xa8, 0xff));
  gradient.setColorAt(1, QColor(0x2f, 0xc4, 0xa0));
  p.setPen(Qt::NoPen);
  p.setBrush(gradient);
  p.drawRoundedRect(r, 4, 4);
  p.setBrush(Qt::white);
  const qreal heights[] = {0.3, 0.6, 0.85, 0.5, 0.7, 0.35};
  const qreal barW = r.width() / 10.0;
  for (int i = 0; i < 6; ++i) {
    const qreal h = r.height() * 0.75 * heights[i];
    const QRectF bar(r.left() + barW * (1.6 + i * 1.2), r.center().y() - h / 2, barW * 0.8, h);
    p.drawRoundedRect(bar, barW * 0.4, barW * 0.4);
  }
}

QImage RenderHeader() {
  QImage image(857, 81, QImage::Format_RGB32);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.fillRect(QRect(0, 0, 857, 26), kTitleBand);
  p.fillRect(QRect(0, 26, 857, 54), kButtonBand);
  p.fillRect(QRect(0, 26, 857, 1), QColor(0x2f, 0x3d, 0x5a));
  p.fillRect(QRect(0, 79, 857, 2), kAccent);
  DrawLogo(p, QRectF(8, 4, 18, 18));
  QFont title = SkinFont(15, true);
  p.setFont(title);
  p.setPen(Qt::white);
  p.drawText(QRectF(32, 2, 120, 22), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Quorvin"));
  const int titleWidth = QFontMetrics(title).horizontalAdvance(QStringLiteral("Quorvin"));
  p.setFont(SkinFont(11));
  p.setPen(QColor(0x9d, 0xab, 0xc3));
  p.drawText(QRectF(40 + titleWidth, 2, 300, 22), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("Batch Audio Converter"));
  // A thin divider between the list commands and the conversion commands.
  p.setPen(QPen(QColor(0x3b, 0x4a, 0x68), 1));
  p.drawLine(QPointF(446.5, 34), QPointF(446.5, 74));
  p.drawLine(QPointF(722.5, 34), QPointF(722.5, 74));
  return image;
}

QImage RenderFooter() {
  QImage image(857, 97, QImage::Format_RGB32);
  QPainter p(&image);
  p.fillRect(QRect(0, 0, 857, 66), kPanel);
  p.fillRect(QRect(0, 0, 857, 1), QColor(0xc3, 0xcc, 0xd8));
  p.fillRect(QRect(0, 66, 857, 31), kStatusBand);
  p.fillRect(QRect(0, 66, 857, 1), QColor(0xc3, 0xcc, 0xd8));
  return image;
}

}  // namespace

QFont SkinFont(int pixelSize, bool bold) {
  QFont font;
  font.setFamilies({QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans"),
                    QStringLiteral("Nimbus Sans"), QStringLiteral("Arial"),
                    QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixelSize);
  font.setBold(bold);
  return font;
}

QSize ButtonImageSize(const QString& baseName) {
  const ButtonArt* art = FindArt(baseName);
  return art ? QSize(art->width, art->height) : QSize();
}

QString ButtonCaption(const QString& baseName) {
  const ButtonArt* art = FindArt(baseName);
  return art ? QString::fromLatin1(art->caption) : QString();
}

QImage RenderButtonImage(const QString& baseName, ButtonImageState state) {
  const ButtonArt* art = FindArt(baseName);
  if (!art) return {};
  QImage image(art->width, art->height, QImage::Format_RGB32);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  switch (art->style) {
    case Style::Tile: RenderTile(p, *art, state); break;
    case Style::WindowControl: RenderWindowControl(p, *art, state); break;
    case Style::FooterButton: RenderFooterButton(p, *art, state); break;
    case Style::ToggleOff:
    case Style::ToggleOn: RenderToggle(p, *art, state); break;
    case Style::BigAction: RenderBigAction(p, *art, state); break;
    case Style::Cancel: RenderCancel(p, *art, state); break;
  }
  return image;
}

QImage RenderSkinImage(int id) {
  if (id == kHeaderImageId) return RenderHeader();
  if (id == kFooterImageId) return RenderFooter();
  return {};
}

}  // namespace qv
