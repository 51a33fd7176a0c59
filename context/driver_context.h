// Start, stop and port management of one context.
#pragma once

#include <cstdint>

#include "entry/qor_interface.h"

int32_t ColdStart(const QorRequest *request);
int32_t WarmStart(const QorRequest *request);
int32_t EndQor(const QorRequest *request);
int32_t CloseCom(const QorRequest *request);
int32_t ReOpenCom(const QorRequest *request);
int32_t ChangeQorParams(const QorRequest *request);
