// The [battery] group of vesperod's settings file: the estimator's voltages, thresholds and where
// each unit's learned model is kept. Read apart from the server settings, by the same file.
//
//   [battery]
//   empty_voltage = 11.6        ; per 12 V block, load-compensated: 0 %
//   full_voltage = 12.8         ; per block, load-compensated: 100 %
//   low_voltage = 10.5          ; per block at the terminals: LB, battery.voltage.low
//   internal_resistance = 0     ; ohms per block; 0: 0.3 / Ah + 0.004
//   table =                     ; the blocks' own discharge table (CSV); empty: a typical VRLA block
//   capacity_ah = 0             ; 20-hour capacity of one block; 0: as the unit reports
//   blocks = 0                  ; blocks in series; 0: as the unit reports
//   efficiency = 0.9            ; of the inverter
//   charge_low = 20             ; battery.charge.low, %
//   runtime_low = 300           ; battery.runtime.low, s
//   low_from_estimate = yes     ; LB also below charge_low or runtime_low
//   state_dir = /var/lib/vesperod   ; default $STATE_DIRECTORY, else $XDG_STATE_HOME/Tralvane
//   time_scale = 1              ; battery seconds per real second: only against vespero-sim --timescale
#pragma once

#include <QString>

#include <memory>

#include "link/battery_estimate.h"

namespace nut {

struct BatteryConfig {
    BatterySettings settings;  // settings.table points into table
    std::shared_ptr<const DischargeTable> table;
    QString stateDir;
    double timeScale = 1;
};

QString DefaultBatteryStateDir();

// Reads [battery] from the settings file at path (nothing there, or no file: the defaults).
// False with *error set on a value out of range or a table that cannot be read. The retired key
// peukert is accepted and ignored: the table holds the rate dependence now.
bool LoadBatteryConfig(const QString& path, BatteryConfig* config, QString* error);

}  // namespace nut
