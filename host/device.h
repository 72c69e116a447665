// SPDX-License-Identifier: GPL-2.0-or-later
// The device's few fixed numbers and file names, which the harness expects of
// any module of this interface: named once, where the plugin names them.
#pragma once

#include "plugin/identification.h"
#include "plugin/log/log_channel.h"
#include "plugin/register_store.h"
#include "plugin/settings/settings.h"
