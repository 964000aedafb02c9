#pragma once
namespace Vel {
int RunTrailstarter(int argc, char** argv);
}
