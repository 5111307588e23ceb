// "vespero --port-chooser": the port chooser before the link starts, for a user whose settings
// name a port that no longer opens (such a start otherwise ends at once, every time).
#pragma once

class QWidget;

// Reads the link settings, lets the user pick device 0's port (tried before it is accepted) and
// saves it. false when the user cancels; the settings are then left as they were.
bool ChoosePortBeforeStart(QWidget* parent = nullptr);
