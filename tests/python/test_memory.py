"""Running out of memory ends the call with MemoryError, not the process."""
import os

import pytest

from conftest import needs_proc


@pytest.mark.skipif(
    os.environ.get("RASTERLOOM_SANITIZED") == "1",
    reason="the address sanitizer needs address space that the limit takes away",
)
@needs_proc
@pytest.mark.parametrize("call", ["rasterloom.annotate_scanlines(x, y)",
                                  "_native.annotate_layer(x, y, True)"])
def test_refused_allocation_raises_memory_error_and_the_process_goes_on(python_subprocess, call):
    result = python_subprocess(
        f"""
        import re, resource
        import numpy as np
        import rasterloom
        from rasterloom_layers import _native

        n = 4_000_000
        x = np.arange(n, dtype=np.float64)
        y = np.zeros(n)
        # a first small call sets up everything that lives for the process
        # (the layer pipeline creates no pool for it: under the limit it finds
        # no threads to start and runs on the calling thread)
        annotate = lambda x, y: {call}
        annotate(x[:10].copy(), y[:10].copy())

        def address_space():
            with open('/proc/self/status') as status:
                for line in status:
                    if line.startswith('VmSize:'):
                        return int(line.split()[1]) * 1024

        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + 16 * 2**20, hard))
        try:
            annotate(x, y)
        except MemoryError as exc:
            message = str(exc)
        else:
            message = None
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(message)
        # whichever block the limit refused first (the scan's lists are
        # reserved in several blocks), the message names its real size
        named = re.fullmatch(r'rasterloom could not allocate ([0-9]+) bytes', message or '')
        assert named and 2**16 <= int(named.group(1)) < 2**40, message
        labels = annotate(x, y)
        assert labels.shape == (n,)
        print('recovered')
        """
    )
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.split("\n")
    assert "bytes" in lines[0]
    assert lines[1] == "recovered"
