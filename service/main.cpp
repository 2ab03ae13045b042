// Process entry of the ostrel program.
#include <cstdio>

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  printf("ostrel -install      to install the service\n");
  printf("ostrel -remove       to remove the service\n");
  printf("ostrel -debug        to run as a console application\n");
  return 0;
}
