"""A first look at morla: the module, its engine and the known devices."""

import morla
import morla.core as core

print(f"morla {morla.__version__} (engine {core.__version__})")
print(core.__doc__)
print()
print("Known devices:")
for name in ("Orbi_v1", "Orbi_v2", "TwoNodesIP_v1", "MRL7700_v1", "FPGA_v2", "Mote_FPGA"):
    version = getattr(core, name)
    print(f"  {name:<14} {version}  IP {version.ip_version.name}")
print()
print("Clock modes:", ", ".join(f"{m.name} {m.value / 1e6:g} MHz"
                                for m in core.soc.ClockMode.__members__.values()))
