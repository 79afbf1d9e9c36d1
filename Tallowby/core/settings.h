// Settings loading: turns the registry's folder pairs into running folder
// objects, once after start-up and again when an option page is applied.
#pragma once
#include <windows.h>

class CSyncEngine;

// Loads the settings and starts the folder threads (and the address-list
// copy when it is on). Called once by the hidden window's start timer.
void StartSync(CSyncEngine* engine);
