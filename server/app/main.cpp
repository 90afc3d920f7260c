#include "ServerMain.h"

int main(int argc, char *argv[])
{
    return ServerMain::run(argc, argv);
}
