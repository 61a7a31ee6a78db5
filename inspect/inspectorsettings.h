#pragma once
// The inspector's own section of the settings file, "Inspector": the window's
// geometry, whether the traffic is checked live, the checker's profile and
// each rule's switch.

#include "check/rules.h"

#include <QRect>
#include <QString>

class ProfileFile;

namespace inspect {

struct InspectorSettings {
    bool present = false; // the file has the section
    QRect geometry; // null when the file names none
    check::RuleSet rules;
    bool live = true; // the traffic is checked as it passes
    QString folder; // where the last file went, for the next file dialog
};

void ReadInspectorSettings(const ProfileFile &ini, InspectorSettings &out);
void WriteInspectorSettings(ProfileFile &ini, const InspectorSettings &in);

} // namespace inspect
