/* A supervised program that does nothing until it is killed. */
#include <unistd.h>

int main(void)
{
    for (;;) pause();
}
