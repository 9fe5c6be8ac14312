"""A pymeasure driver for a thermocal instrument served by thermocal-server's SCPI endpoint.

    from thermocal import Thermocal
    instrument = Thermocal("TCPIP0::localhost::5025::SOCKET")
    print(instrument.id, instrument.temperature, instrument.voltage)
"""
from pymeasure.instruments import Instrument


def _floats(values):
    return [float(value) for value in values]


class Thermocal(Instrument):
    """The instrument's live readings and calibration set, through thermocal-server --scpi."""

    temperature = Instrument.measurement("MEAS:TEMP?", "The temperature now, in kelvin (a fresh reading).")
    voltage = Instrument.measurement("MEAS:VOLT?", "The sensor voltage now, in volts (a fresh reading).")
    adc = Instrument.control("CAL:ADC?", "CAL:ADC %.9g,%.9g", "The ADC slope and intercept.",
                             get_process=_floats)
    dac = Instrument.control("CAL:DAC?", "CAL:DAC %.9g,%.9g", "The DAC slope and intercept.",
                             get_process=_floats)

    def __init__(self, adapter, **kwargs):
        kwargs.setdefault("read_termination", "\n")
        kwargs.setdefault("write_termination", "\n")
        kwargs.setdefault("visa_library", "@py")
        super().__init__(adapter, "thermocal instrument", includeSCPI=True, **kwargs)

    @property
    def table(self):
        """The 100 rows of (voltage, temperature)."""
        values = _floats(self.values("CAL:TABL?"))
        return list(zip(values[0::2], values[1::2]))

    @table.setter
    def table(self, rows):
        self.write("CAL:TABL " + ",".join("%r,%r" % (float(v), float(t)) for v, t in rows))

    def save(self):
        """Commits the calibration set to the instrument's EEPROM."""
        self.write("CAL:SAVE")

    def next_error(self):
        """The oldest error in the queue, as (code, message)."""
        code, message = self.ask("SYST:ERR?").split(",", 1)
        return int(code), message.strip('"')

    def check_errors(self):
        """Empties the error queue; its errors as (code, message), oldest first."""
        errors = []
        for _ in range(int(self.ask("SYST:ERR:COUN?"))):
            code, message = self.next_error()
            if code == 0:
                break
            errors.append((code, message))
        return errors
