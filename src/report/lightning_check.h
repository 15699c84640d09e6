// The lightning record as the newer forms take it: what the service says that cannot be true
// is no data there (the classic run shows the reply as it is).
#pragma once

#include "storm/lightning.h"

#include <optional>
#include <string>

// The record with a nearest distance outside [0, radius + 5 km] made unknown (and -0 made 0; one
// beyond that kept as beyond_km),
// and a direction that is not one of the 16 compass codes made empty; the count stands.
std::optional<lightning_report> checked_lightning(std::optional<lightning_report> lightning,
                                                  int radius_km);
// The Polish name of one of the 16 compass codes ("NNE": "północ-północny wschód"); empty for
// anything else.
std::string compass_point_name(const std::string& code);
