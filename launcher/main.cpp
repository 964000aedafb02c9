#include "launcher/TrailstarterApp.h"

int main(int argc, char** argv) { return Vel::RunTrailstarter(argc, argv); }
