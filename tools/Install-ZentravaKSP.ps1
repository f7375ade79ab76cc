<#
.SYNOPSIS
    Installs or uninstalls the Zentrava Key Storage Provider on 64-bit Windows.

.DESCRIPTION
    Install: copies the 64-bit ZentravaKSP.dll into System32 and the 32-bit
    one (x86\ZentravaKSP.dll) into SysWOW64, where 64-bit and 32-bit
    programs load it by name, registers the provider with CNG
    (ZentravaKSPConfig -register) and checks that ZentravaKSPConfig -enum
    lists it.

    Uninstall: ZentravaKSPConfig -unregister, then ZentravaKSPConfig -cleanup,
    which deletes both DLLs or, while a process still has one loaded,
    schedules its deletion for the next restart.

    Both need an elevated prompt (Run as administrator): they write the CNG
    configuration and the system directory. The script stops if it is not
    elevated. It does not start the signing service; see docs/install.md.

.PARAMETER Uninstall
    Unregister the provider and remove the DLL instead of installing.

.PARAMETER SourceDir
    Folder holding ZentravaKSP.dll, ZentravaKSPConfig.exe and
    x86\ZentravaKSP.dll. Defaults to the folder of this script, or its bin\
    subfolder (the layout of the release archive) when the DLL is there.

.EXAMPLE
    .\Install-ZentravaKSP.ps1 -SourceDir C:\dist\zentrava

.EXAMPLE
    .\Install-ZentravaKSP.ps1 -Uninstall -SourceDir C:\dist\zentrava
#>
[CmdletBinding()]
param(
    [switch]$Uninstall,
    [string]$SourceDir = ''
)

Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'

$ProviderName = 'Zentrava Key Storage Provider'
$LibraryName = 'ZentravaKSP.dll'

function Assert-Elevated {
    $identity = [Security.Principal.WindowsIdentity]::GetCurrent()
    $principal = New-Object Security.Principal.WindowsPrincipal($identity)
    if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
        throw 'This step needs an elevated prompt: start PowerShell with "Run as administrator" and run the script again.'
    }
}

function Assert-64BitProcess {
    # A 32-bit PowerShell on 64-bit Windows would see SysWOW64 as the system
    # directory (file system redirection) and put the 64-bit DLL there.
    if (-not [Environment]::Is64BitProcess) {
        throw 'Run this script from 64-bit PowerShell (not the x86 one).'
    }
}

# Runs the configuration tool and returns its output lines. The tool ends
# with 0 after every command and reports failures as lines of output.
function Invoke-Config([string]$Command) {
    $config = Join-Path $SourceDir 'ZentravaKSPConfig.exe'
    if (-not (Test-Path -LiteralPath $config -PathType Leaf)) {
        throw "ZentravaKSPConfig.exe not found in $SourceDir"
    }
    $lines = @(& $config $Command)
    if ($LASTEXITCODE -ne 0) {
        throw "ZentravaKSPConfig $Command ended with exit status $LASTEXITCODE"
    }
    foreach ($line in $lines) {
        Write-Host "  $line"
    }
    return ,$lines
}

function Test-Registered {
    $names = Invoke-Config '-enum'
    foreach ($line in $names) {
        if ($line -like '*failed with error code*' -or $line -like '*returned a NULL ptr*') {
            throw "Listing the registered providers failed: $line"
        }
    }
    return ($names -contains $ProviderName)
}

# Machine type in a PE file's header: 0x8664 x64, 0x14c x86.
function Get-Machine([string]$Path) {
    $bytes = [IO.File]::ReadAllBytes($Path)
    return [BitConverter]::ToUInt16($bytes, [BitConverter]::ToInt32($bytes, 0x3c) + 4)
}

# The two copies: from the source folder to where each kind of process loads it.
function Get-Copies {
    return @(
        @{ Source = Join-Path $SourceDir $LibraryName; Machine = 0x8664
           Target = Join-Path ([Environment]::SystemDirectory) $LibraryName },
        @{ Source = Join-Path (Join-Path $SourceDir 'x86') $LibraryName; Machine = 0x14c
           Target = Join-Path ([Environment]::GetFolderPath('SystemX86')) $LibraryName }
    )
}

function Install-Provider {
    $copies = Get-Copies
    foreach ($copy in $copies) {
        if (-not (Test-Path -LiteralPath $copy.Source -PathType Leaf)) {
            throw "$($copy.Source) not found"
        }
        if ((Get-Machine $copy.Source) -ne $copy.Machine) {
            throw "$($copy.Source) is not the DLL for $(Split-Path -Parent $copy.Target)"
        }
    }
    foreach ($copy in $copies) {
        Write-Host "Copying $($copy.Source) to $($copy.Target)"
        try {
            Copy-Item -LiteralPath $copy.Source -Destination $copy.Target -Force
        } catch {
            throw "Could not copy $($copy.Source) to $($copy.Target) ($($_.Exception.Message)). If a program still has the old provider loaded, close it, or uninstall and restart first."
        }
    }

    Write-Host "ZentravaKSPConfig -register"
    $output = Invoke-Config '-register'
    # A provider that is already registered makes BCryptRegisterProvider fail
    # while the other steps still run; the listing below decides.
    $failures = @($output | Where-Object { $_ -like '*failed with error code*' })

    Write-Host "ZentravaKSPConfig -enum"
    if (-not (Test-Registered)) {
        throw "'$ProviderName' is not listed after registration. Messages: $($failures -join '; ')"
    }
    if ($failures.Count -gt 0) {
        Write-Warning "Registration reported: $($failures -join '; '). The provider is listed, so an earlier registration is still in place."
    }
    Write-Host "Installed: '$ProviderName' is registered; $(($copies | ForEach-Object { $_.Target }) -join ' and ') are in place."
    Write-Host 'Start the signing service as the user who will use the keys (not elevated); see docs/install.md.'
}

function Uninstall-Provider {
    Write-Host "ZentravaKSPConfig -unregister"
    $null = Invoke-Config '-unregister'

    Write-Host "ZentravaKSPConfig -cleanup"
    $cleanup = Invoke-Config '-cleanup'
    # One line per copy (System32, SysWOW64).
    $scheduled = @($cleanup | Where-Object { $_ -like 'Provider binary scheduled for deletion after reboot:*' })
    $removed = @($cleanup | Where-Object { $_ -like 'Provider binary removed:*' -or $_ -like 'Provider binary already removed:*' })

    Write-Host "ZentravaKSPConfig -enum"
    if (Test-Registered) {
        throw "'$ProviderName' is still listed after -unregister."
    }
    if ($scheduled.Count + $removed.Count -ne 2) {
        throw "Removing the DLLs failed: $($cleanup -join '; ')"
    }
    if ($scheduled.Count -gt 0) {
        Write-Host 'Unregistered. A DLL is still loaded by some process and will be deleted at the next restart.'
    } else {
        Write-Host 'Unregistered and both DLLs removed.'
    }
}

Assert-64BitProcess
Assert-Elevated
if (-not $SourceDir) {
    $SourceDir = $PSScriptRoot
    $inBin = Join-Path $PSScriptRoot 'bin'
    if (-not (Test-Path -LiteralPath (Join-Path $SourceDir $LibraryName)) -and
        (Test-Path -LiteralPath (Join-Path $inBin $LibraryName))) {
        $SourceDir = $inBin
    }
}
$SourceDir = (Resolve-Path -LiteralPath $SourceDir).Path
if ($Uninstall) {
    Uninstall-Provider
} else {
    Install-Provider
}
