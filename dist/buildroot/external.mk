# SPDX-License-Identifier: MIT
include $(sort $(wildcard $(BR2_EXTERNAL_VEMRA_PATH)/package/*/*.mk))
