// A per-thread seccomp filter that fails one system call with a chosen error number.
#include "tests/support/syscall_failure.h"

#if defined(__linux__) && defined(__x86_64__)
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstddef>
#endif

namespace support {

bool FailSystemCallOnThisThread(SystemCall call, int error_number) {
#if defined(__linux__) && defined(__x86_64__)
  // The two numbers of the call (the same twice when it has one).
  unsigned nr[2] = {0, 0};
  switch (call) {
    case SystemCall::kConnect:
      nr[0] = nr[1] = __NR_connect;
      break;
    case SystemCall::kThreadCreation:
      nr[0] = __NR_clone;
      nr[1] = 435;  // clone3, which newer C libraries try first
      break;
  }
  const unsigned fail =
      SECCOMP_RET_ERRNO | (static_cast<unsigned>(error_number) & SECCOMP_RET_DATA);
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr[0], 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr[1], 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, fail),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  // Without new privileges an unprivileged thread may install a filter; both are per thread.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) == 0;
#else
  (void)call;
  (void)error_number;
  return false;
#endif
}

}  // namespace support
