#include "settings.h"

#include "sync_engine.h"

void StartSync(CSyncEngine* engine) {
  // Seam: GetSettings and the folder threads come here.
  (void)engine;
}
