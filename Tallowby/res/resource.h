// Resource ids of Tallowby.dll.
#pragma once

#define IDR_CONNECT 1101
