#pragma once

class QCheckBox;
class QFileDialog;

namespace qv {

class PreviewPlayer;

// Adds the auto-play check box, "Automatically play the selected file", below the controls of a
// non-native file dialog and plays each highlighted file while it is checked. The box starts
// as `autoPlayOnOpen` says; its state belongs to this dialog only. The helper's state is a child
// of the dialog and goes with it; the player must outlive the dialog. GUI thread.
// Returns the check box (owned by the dialog).
QCheckBox* InstallAutoPlay(QFileDialog* dialog, PreviewPlayer& player, int autoPlayOnOpen);

}  // namespace qv
