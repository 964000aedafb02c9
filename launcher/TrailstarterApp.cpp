#include "launcher/TrailstarterApp.h"
namespace Vel {
int RunTrailstarter(int, char**) { return 0; }
}
