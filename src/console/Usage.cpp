#include "console/ExitCode.h"
#include "console/GridConsole.h"
#include "platform/Paths.h"

#include <array>

namespace console {

namespace {
constexpr std::string_view Indent = "                              ";
constexpr std::string_view WindowsVersionNames = "{XP, 2003, Vista, 2008, 7, 8, 8.1, 10}";

// The general options, shown in every mode. "|" marks a row that applies to Visual
// Studio builds only; "#" stands for the list of Windows version names.
constexpr std::array<std::string_view, 76> GeneralRows = {
    "  @<command filename>         Specify an external Ravelcon option file",
    "  /NOLOGO                     Suppress copyright message",
    "  /NOMSGS                     Suppress build messages on the console",
    "  /SILENT                     Suppress all output",
    "|  /REBUILD                    Clean and build",
    "|  /CLEAN                      Delete intermediate and output files",
    "  /PROFILE=<filename.xml>     Intercepted job definition XML file",
    "  /KEEPORIGJOBSNUM            Keep original number of parallel jobs (Build tools only)",
    "  /SETENV=\"<name>=<value>\"    Set value of an environment variable",
    "  /OUT=<filename>             Redirect command line output to a file",
    "  /LOG[=<filename>]           Save build output to a file",
    "  /LOGLEVEL=<level>           Override logging level for this build",
    "                              {Minimal,Basic,Intermediate,Extended,Detailed}",
    "  /LIMITBMDATA[=0|1|2|3]      [EXPERIMENTAL] Limit build monitor data to display",
    "                              0 - all data is enabled to display, no limits",
    "                              1 - all data writing is disabled, do not display anything",
    "                              2 - disable only bars to display",
    "                              3 - disable only graphs to display",
    "  /EXITCODEBASE[=n]           Adds a base number to the exit code in case the build",
    "                              terminates due to an internal Morvek error or user",
    "                              cancellation. (Default value is 10000.)",
    "  /MON=<filename>             Save a copy of the build monitor file",
    "  /MAXCPUS=<n>                Override global max. CPUs/Cores in build setting",
    "  /AVOIDLOCAL=[ON|OFF]        Override 'avoid local execution' setting",
    "  /MINWINVER=<version>        Min. required Windows version of helper Agents",
    "#",
    "  /MAXWINVER=<version>        Max. allowed Windows version for helper Agents",
    "#",
    "  /ONLY64BITHELPERS           Only use helper Agents that run a 64-bit OS",
    "  /NO_DOTNET_VIRT             Disable .NET Framework virtualization",
    "  /NO_CRYPT_VIRT              Disable Cryptography Registry keys virtualization",
    "  /NO_WATCHDOG_THREAD         Do not create abnormal termination Monitor Thread in local "
    "tasks",
    "  /NO_UNC_SYNC                Remote tasks open UNC (network share) paths directly instead "
    "of going through the Initiator machine",
    "  /STOPONERRORS               Stop build immediately if an error is encountered",
    "  /ONLYFAILLOCALLY=[ON|OFF]   Distributed tasks should only fail on local machine",
    "  /USECLOUDHELPERS=[TRUE|FALSE]",
    "                              Use cloud helpers in the build",
    "  /SHOWTIME                   Show execution time of commands",
    "  /SHOWAGENT                  Show name of Agent executing a command",
    "  /OPENMONITOR                Open Build Monitor on build start",
    "|  /USEIDEMONITOR              Use integrated monitor of IDE that started build",
    "  /VIRTUALIZEDIRECTX          Allow to distribute DirectX utilizing tasks to remote agents "
    "that do not have the relevant DirectX version installed",
    "  /ENABLE                     Enable Agent",
    "  /DISABLE                    Disable Agent",
    "  /RESET                      Clears the Agent file cache contents",
    "  /CA_FILE                    File name to which code analysis information will be "
    "written. For example, /ca_file=\"c:\\MyFile.JSon\".",
    "  /WAIT                       Wait for previous build to complete (default)",
    "  /NOWAIT                     Fail if another build is already running",
    "  /STOP[=<build-id>]          Stop a running build. Provide <build-id> if more than one "
    "build is executing.",
    "  /STOPALL                    Stop all running builds.",
    "  /LIST                       Show <build-id> list of all currently running builds.",
    "  /BEEP                       Play a sound when the build completes",
    "  /TITLE=\"<text>\"             Adds a line of text to build output and log file",
    "  /QUERYAGENTSTATUS           Display all Agent services status",
    "  /CLEARBUILDCACHE            Clear all Build Cache data on this machine",
    "  /BUILDCACHEREMOTESERVER=server:port",
    "                              Use shared Build Cache endpoint",
    "  /BUILDCACHECLUSTER=<cluster_name>",
    "                              Use shared Build Cache cluster",
    "  /BUILDCACHELOCAL=[ON|OFF]   Use local Build Cache endpoint",
    "  /BUILDCACHEREADONLY=[ON|OFF]",
    "                              Use Build Cache in Read-Only mode",
    "  /BuildCacheProfile=<filename>",
    "                              Build Cache Profile path",
    "  /FREECOMPLETEDTASKS=[ON|OFF]",
    "                              Use with big projects to improve memory performance",
    "  /CLANGPATHCONVERT=1         When using Clang use this flag to convert file's path "
    "properly.",
    "  /MAXCONCURRENTPDBS          Limit concurrent PDB file instances ",
    "  /MAXFILESYNCTHREADS         The max number of threads that will be used for a single "
    "file transfer between an initiator and a helper",
    "  /MAXPARALLELLINKTARGETS     Max number of CPU/Cores for parallel linking",
    "  /NEEDEDHELPERSHISTORYTIMESEC=40",
    "                              The Initiator will check what was the max. number of helpers "
    "it needed, during the last number of seconds defined (example: last 40 seconds)",
    "  /ROOTTASKAWARE[=ON|OFF|TRUE|FALSE|1|0]",
    "                              Take into account (assuming build failed) only errors from "
    "the root task.",
    "                              This option is applicable for build tools only, i.e.: make, "
    "nant, msbuild, etc.",
    "  /HELP /?                    Display brief usage message",
};

constexpr std::array<std::string_view, 29> VisualStudioRows = {
    "Visual Studio Options:",
    "  /CFG=\"<cfg1[,cfg2,..]>\"      Configuration(s) to build",
    "  /PRJ=\"<prj1[,prj2,..]>\"      Project(s) to build in workspace/solution",
    "  /PRESET=\"<preset>\"           Predefined configuration preset to build",
    "  /NORECURSE                   Don't build dependent projects",
    "  /ALL                         Build all projects regardless of errors",
    "  /COMPILE=<filename,...>      Compile only these source file(s)",
    "  /CL_ADD=\"<options>\"          Add options to compiler command-line",
    "  /CL_REM=\"<options>\"          Remove options from compiler command-line",
    "  /LINK_ADD=\"<options>\"        Add options to linker command-line",
    "  /LINK_REM=\"<options>\"        Remove options from linker command-line",
    "  /BROWSEINFO=[ON|OFF]         Override browse info creation setting",
    "  /MORVEKLINK=[ON|OFF]        Override fast incremental link setting",
    "  /NOLINK                      Perform all build steps except linking",
    "  /USEENV                      Use environment variables instead of IDE paths",
    "  /CECONFIG=<platform>         Set the WCE platform (eMbedded Visual C++ 4.0)",
    "  /INTELCLVERSION=<version>    Override default Intel Compiler version",
    "  /DUMPSOURCEFILES=<filename>  Dump filenames of project source files to a file",
    "  /QUICKVALIDATE               Skip procedures that slow build down (PDB generation, "
    "compiler and linker optimizations, etc).",
    "  /VSVERSION=<version>         Forces a specific version of Visual Studio toolset to be "
    "used.",
    "                               (EVC4,VC6,VC7,VC8,VC9,VC10,VC11,VC12,VC14,VC15,VC16,VC17)",
    "  /VSINSTALLDIR=<full path>    If more than one instance of the same version of VS is "
    "installed, specify the full path to the instance you want to use.",
    "  /USEMSBUILD=[32|64]          Use Msbuild as main build engine instead of Devenv for "
    "Visual Studio 2010 and newer",
    "                               Using USEMSBUILD without a value will set it by default with "
    "64-bit for VS2022 and 32-bit for VS2019.",
    "  /MSBUILDARGS=\"</arg1 /arg2>\" Passes additional arguments to MSBuild when using the "
    "/USEMSBUILD switch",
    "  /FORCEENGLISHMSBUILDOUTPUT=[ON|OFF]",
    "                              Force displaying info in English inside BuildMonitor for "
    "users with non-English OS (rely on languages Morvek supports + Englsih language",
    "                              pack is installed inside Visual Studio)",
    "  /PEMODE=[0|1|2]             Enahance throughput using out-of-order tasks spawning "
    "(0=disabled, 1=build, 2=rebuild)",
};
} // namespace

void TGridConsole::ShowUsage() {
    Silent = false;
    const bool vs = (Modes & VisualStudio) != 0;
    const std::string name = platform::FileNameWithoutExt(platform::ProgramFileName());
    const std::string lead = "        " + name;
    WriteLine("Usage:");
    if (vs) {
        for (const std::string_view form :
             {" <workspace.dsw>  [options]", " <workspace.vcw>  [options]",
              " <solution.sln>   [options]", " <project.dsp>    [options]",
              " <project.vcp>    [options]", " <project.vcproj> [options]",
              " <project.icproj> [options]"}) {
            WriteLine(lead + std::string(form));
        }
        WriteLine(lead + " /COMMAND=\"<build tool command line>\" [options] (Build tools only: "
                         "make, nant, msbuild, etc.)");
        WriteLine("Visual Studio Compatibility Syntax:");
        WriteLine(lead + " <solution.sln> /build <solutionconfig>");
        WriteLine("        " + std::string(name.size(), ' ') +
                  " [/project <project> [/projectconfig <projectconfig>]]");
    }
    WriteLine("General Options:");
    for (const std::string_view row : GeneralRows) {
        if (row == "#") {
            WriteLine(std::string(Indent) + std::string(WindowsVersionNames));
        } else if (row.starts_with('|')) {
            WriteLine(std::string(row.substr(1)) + " (VS builds only)");
        } else {
            WriteLine(row);
        }
    }
    if (vs) {
        for (const std::string_view row : VisualStudioRows) {
            WriteLine(row);
        }
    }
}

} // namespace console
