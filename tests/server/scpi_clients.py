"""pyvisa (with the pyvisa-py backend) and the example pymeasure driver against a running
thermocal-server --scpi. Arguments: the SCPI port, "writes", "no-writes" (whether the
server takes them) or "stored-wrongly" (it takes them, and the instrument stores another
ADC slope), the temperature the instrument reads, the examples folder. Prints what failed
and exits 1, or exits 0."""
import struct
import sys

import pyvisa

port, mode, kelvin, examples = sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4]
writes = mode == "writes"
sys.path.insert(0, examples + "/pymeasure")
from thermocal import Thermocal  # noqa: E402

resource = "TCPIP0::127.0.0.1::%s::SOCKET" % port
failures = []


def single(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def check(what, ok, got):
    if not ok:
        failures.append("%s: got %r" % (what, got))


manager = pyvisa.ResourceManager("@py")
visa = manager.open_resource(resource, read_termination="\n", write_termination="\n", timeout=5000)
identity = visa.query("*IDN?")
check("*IDN?", identity.startswith("thermocal,instrument,"), identity)
temperature = float(visa.query("MEAS:TEMP?"))
check("MEAS:TEMP?", abs(temperature - kelvin) < 1e-4, temperature)
table = visa.query_ascii_values("CAL:TABL?")
check("CAL:TABL? holds 200 numbers", len(table) == 200, len(table))
visa.write("BOGus:HEADer?")
error = visa.query("SYST:ERR?")
check("an undefined header", error.startswith('-113,"Undefined header'), error)
check("the queue empties", visa.query("SYST:ERR?") == '0,"No error"', None)
visa.close()

driver = Thermocal(resource)
check("pymeasure temperature", abs(driver.temperature - kelvin) < 1e-4, driver.temperature)
before = driver.adc
if writes:
    # Single precision needs 9 significant digits; with fewer another value is stored.
    exact = (3.81469727e-05, -1.23456791e-03)
    driver.adc = exact
    driver.dac = exact
    for name, got in (("ADC", driver.adc), ("DAC", driver.dac)):
        check(name + " constants to 9 digits", [single(value) for value in got] == [single(value) for value in exact], got)
driver.adc = (2.5, -0.125)
if mode == "stored-wrongly":
    errors = driver.check_errors()
    check("the read-back's difference", [code for code, _ in errors] == [-240] and "read back" in errors[0][1], errors)
else:
    code, message = driver.next_error()
    if writes:
        check("a write taken", code == 0, (code, message))
        check("and read back", driver.adc == [2.5, -0.125], driver.adc)
    else:
        check("a write refused", code == -203, (code, message))
        check("nothing changed", driver.adc == before, driver.adc)
check("the table's rows", len(driver.table) == 100, len(driver.table))


def framework(name):
    """What the framework's own SCPI property asks; pymeasure 0.9 keeps it on the instance
    as a property object, later versions on the class."""
    value = getattr(driver, name)
    return value.fget(driver) if isinstance(value, property) else value


# What frameworks send on their own: pymeasure's reset(), clear(), complete, status and
# check_errors(); QCoDeS's *RST and *OPC? at start-up.
driver.reset()
check("complete", framework("complete") == 1, framework("complete"))
driver.write("BOGus")
driver.write("MEAS:TEMP? 5")
check("status: errors waiting", int(framework("status")) & 4 == 4, framework("status"))
errors = driver.check_errors()
check("check_errors", [code for code, _ in errors] == [-113, -108], errors)
check("status: the queue read", int(framework("status")) == 0, framework("status"))
driver.write("BOGus")
driver.clear()
check("clear", driver.check_errors() == [], None)
visa = manager.open_resource(resource, read_termination="\n", write_termination="\n", timeout=5000)
visa.write("*RST")
check("*OPC? after *RST", visa.query("*OPC?") == "1", None)
check("*ESR? after *RST", visa.query("*ESR?") == "0", None)
visa.close()

for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
