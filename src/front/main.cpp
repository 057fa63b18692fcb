#include "front/entry.h"

int main(int argc, char** argv)
{
    return talvex_main(argc, argv);
}
