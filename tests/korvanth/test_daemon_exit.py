def test_host_exit_while_a_daemon_thread_waits_in_module_code(py):
    # The watchdog's thread sleeps inside module code; it wakes up while the
    # interpreter finalises (slow teardown below) and is ended by the host.
    out = py("""
        import sys, time
        import Korvanth
        runner = Korvanth.CLASS_MultiTask(Korvanth.ENUM_TASK_MODE.cE_TaskM_TThread, print, Pmi_Timeout=3600)
        class SlowTeardown:
            def __del__(self):
                print("teardown", flush=True)
                time.sleep(1.0)
        keep = SlowTeardown()
    """, check=False)
    assert (out.returncode, out.stdout, out.stderr) == (0, "teardown\n", "")
