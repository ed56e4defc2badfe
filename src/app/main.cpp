// Entry point: everything happens in the app layer's start-up routine.
#include "app/Startup.h"

int main(int argc, char* argv[])
{
    return Startup::run(argc, argv);
}
