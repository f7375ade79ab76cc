<#
.SYNOPSIS
    Checks an installed Zentrava Key Storage Provider on real Windows: CNG,
    both signtools, and .NET reach the provider and through it the signing
    service.

.DESCRIPTION
    Nothing in the project's own test runs can do this: they run under Wine,
    whose CNG router loads no third-party provider and which has no signtool
    and no .NET. This script was therefore never run where it was written;
    only its syntax was checked there. Run it on a test machine.

    Before: the MSI installed, and `ZentravaSigningService serve` running as
    the user who runs this script. Run from 64-bit Windows PowerShell 5.1 (or
    later), not elevated. Needs the Windows SDK's signtool, 64-bit and 32-bit
    (Windows Kits\10\bin\<version>\x64 and \x86), or -SignTool64/-SignTool32.

    It makes a key in the service, a self-signed code-signing certificate for
    it (linked in CurrentUser\My), trusts that certificate in
    CurrentUser\Root (Windows asks you to confirm: answer Yes), signs copies of
    a small program with both signtools, by store certificate and by /csp and
    /kc, verifies them, and uses the key through .NET. One line per check,
    then "N passed, M failed"; exit status 0 only if nothing failed.
    Everything it made is removed at the end (Windows asks again for the Root
    certificate).

.EXAMPLE
    powershell -ExecutionPolicy Bypass -File .\acceptance.ps1
#>
[CmdletBinding()]
param(
    [string]$InstallDir = (Join-Path $env:ProgramFiles 'Zentrava'),
    [string]$SignTool64 = '',
    [string]$SignTool32 = ''
)

Set-StrictMode -Version Latest
$ProviderName = 'Zentrava Key Storage Provider'
$Service = Join-Path $InstallDir 'ZentravaSigningService.exe'
$Tool = Join-Path $InstallDir 'ZentravaKSPTool.exe'
$script:Passed = 0
$script:Failed = 0

# One check: its body throws to fail, with the reason.
function Step([string]$Name, [scriptblock]$Body) {
    try {
        $null = & $Body
        $script:Passed++
        Write-Host "[PASS] $Name"
    } catch {
        $script:Failed++
        Write-Host "[FAIL] ${Name}: $($_.Exception.Message)"
    }
}

# Runs a program; its output (stdout and stderr) as one string. Throws on a
# non-zero exit status unless -AnyExit.
function Run([string]$Exe, [string[]]$Arguments, [switch]$AnyExit) {
    if (-not (Get-Command $Exe -ErrorAction SilentlyContinue)) { throw "$Exe not found" }
    $saved = $ErrorActionPreference
    $ErrorActionPreference = 'Continue'  # stderr lines are not errors here
    try {
        $text = (& $Exe @Arguments 2>&1 | ForEach-Object { "$_" }) -join "`n"
    } finally {
        $ErrorActionPreference = $saved
    }
    if (-not $AnyExit -and $LASTEXITCODE -ne 0) {
        throw "$(Split-Path -Leaf $Exe) $($Arguments -join ' ') ended with $LASTEXITCODE`: $text"
    }
    return $text
}

# Machine type of a PE file: 0x8664 x64, 0x14c i386.
function Get-Machine([string]$Path) {
    $bytes = [IO.File]::ReadAllBytes($Path)
    $pe = [BitConverter]::ToInt32($bytes, 0x3c)
    return [BitConverter]::ToUInt16($bytes, $pe + 4)
}

function Find-SignTool([string]$Arch) {
    $kits = Join-Path ${env:ProgramFiles(x86)} 'Windows Kits\10\bin'
    $found = Get-ChildItem -Path $kits -Filter signtool.exe -Recurse -ErrorAction SilentlyContinue |
        Where-Object { $_.Directory.Name -eq $Arch } | Sort-Object FullName -Descending | Select-Object -First 1
    if ($found) { return $found.FullName }
    return ''
}

if (-not [Environment]::Is64BitProcess) {
    Write-Host 'Run this from 64-bit PowerShell: a 32-bit one sees SysWOW64 as System32.'
    exit 2
}
if (-not $SignTool64) { $SignTool64 = Find-SignTool 'x64' }
if (-not $SignTool32) { $SignTool32 = Find-SignTool 'x86' }

$tag = [Guid]::NewGuid().ToString('N').Substring(0, 8)
$KeyName = "zentrava-acceptance-$tag"
$Work = Join-Path ([IO.Path]::GetTempPath()) $KeyName
$null = New-Item -ItemType Directory -Path $Work
$CertFile = Join-Path $Work 'test-signer.cer'
$Thumbprint = ''
$KeyMade = $false
$Trusted = $false

try {
    Step 'both provider DLLs installed: System32 x64, SysWOW64 x86' {
        $x64 = Get-Machine (Join-Path $env:SystemRoot 'System32\ZentravaKSP.dll')
        $x86 = Get-Machine (Join-Path $env:SystemRoot 'SysWOW64\ZentravaKSP.dll')
        if ($x64 -ne 0x8664 -or $x86 -ne 0x14c) { throw ('machine types 0x{0:x} and 0x{1:x}' -f $x64, $x86) }
    }
    Step 'certutil -csplist lists the provider' {
        $list = Run 'certutil.exe' @('-csplist')
        if ($list -notmatch "Provider Name: $([regex]::Escape($ProviderName))") { throw 'not listed' }
    }
    Step "the signing service creates the key $KeyName" {
        $null = Run $Service @('create', $KeyName, '--bits', '2048')
        $script:KeyMade = $true
    }
    Step 'NCrypt opens the key through the provider (the service answers)' {
        $null = Run $Tool @('--ncrypt', 'key', $KeyName)
    }
    Step 'ZentravaKSPTool makes a self-signed code-signing certificate and links it' {
        $null = Run $Tool @('--ncrypt', 'selfsign', $KeyName, $CertFile, '--subject', "CN=Zentrava Acceptance $tag",
                            '--code-signing', '--days', '2', '--format', 'der')
        $script:Thumbprint = (New-Object Security.Cryptography.X509Certificates.X509Certificate2($CertFile)).Thumbprint
        $null = Run $Tool @('--ncrypt', 'link-cert', $KeyName, $CertFile)
        if (-not (Test-Path "Cert:\CurrentUser\My\$script:Thumbprint")) { throw 'not in CurrentUser\My' }
    }
    Step 'the test certificate is trusted in CurrentUser\Root (confirm the prompt)' {
        $null = Run 'certutil.exe' @('-user', '-addstore', 'Root', $CertFile)
        $script:Trusted = $true
        if (-not (Test-Path "Cert:\CurrentUser\Root\$script:Thumbprint")) { throw 'not in CurrentUser\Root' }
    }

    $program = Join-Path $InstallDir 'ZentravaKSPConfig.exe'
    $arches = @(
        @{ Name = 'x64'; Exe = $SignTool64; Option = '-SignTool64' },
        @{ Name = 'x86'; Exe = $SignTool32; Option = '-SignTool32' }
    )
    $ways = @(
        @{ Name = 'store certificate (/sha1)'; Tag = 'store'; Args = @('/sha1', $Thumbprint, '/s', 'My') },
        @{ Name = '/f with /csp and /kc'; Tag = 'csp'; Args = @('/f', $CertFile, '/csp', $ProviderName, '/kc', $KeyName) }
    )
    foreach ($arch in $arches) {
        foreach ($way in $ways) {
            $copy = Join-Path $Work ('signed-{0}-{1}.exe' -f $arch.Name, $way.Tag)
            Copy-Item -LiteralPath $program -Destination $copy
            $label = "$($arch.Name) signtool, $($way.Name)"
            Step "$label signs a copy of ZentravaKSPConfig.exe (/fd SHA256)" {
                if (-not $arch.Exe) { throw "no $($arch.Name) signtool found (Windows SDK); give $($arch.Option)" }
                $null = Run $arch.Exe (@('sign', '/fd', 'SHA256') + $way.Args + @($copy))
            }
            Step "$label`: signtool verify /pa accepts it" {
                if (-not $arch.Exe) { throw "no $($arch.Name) signtool" }
                $null = Run $arch.Exe @('verify', '/pa', $copy)
            }
        }
    }

    $rsa = $null
    $public = $null
    $data = [Text.Encoding]::UTF8.GetBytes("Zentrava acceptance $tag")
    $sha256 = [Security.Cryptography.HashAlgorithmName]::SHA256
    $pkcs1Sign = [Security.Cryptography.RSASignaturePadding]::Pkcs1
    $pkcs1Crypt = [Security.Cryptography.RSAEncryptionPadding]::Pkcs1
    Step '.NET: X509Certificate2.GetRSAPrivateKey() opens the key in the provider' {
        $cert = Get-Item "Cert:\CurrentUser\My\$Thumbprint"
        $script:rsa = [Security.Cryptography.X509Certificates.RSACertificateExtensions]::GetRSAPrivateKey($cert)
        if (-not $script:rsa) { throw 'no private key' }
        $script:public = [Security.Cryptography.X509Certificates.RSACertificateExtensions]::GetRSAPublicKey($cert)
        $provider = $script:rsa.Key.Provider.Provider
        if ($provider -ne $ProviderName) { throw "key of $provider" }
    }
    Step '.NET: SignData (SHA-256, PKCS#1) verifies with the certificate' {
        $signature = $script:rsa.SignData($data, $sha256, $pkcs1Sign)
        if (-not $script:public.VerifyData($data, $signature, $sha256, $pkcs1Sign)) { throw 'signature does not verify' }
    }
    Step '.NET: Decrypt (PKCS#1) gives the plaintext back' {
        $plain = $script:rsa.Decrypt($script:public.Encrypt($data, $pkcs1Crypt), $pkcs1Crypt)
        if ([Convert]::ToBase64String($plain) -ne [Convert]::ToBase64String($data)) { throw 'different plaintext' }
    }
} finally {
    # Clean up whatever was made; failures here are reported, not counted.
    if ($Trusted) {
        try { $null = Run 'certutil.exe' @('-user', '-delstore', 'Root', $Thumbprint) }
        catch { Write-Host "cleanup: $($_.Exception.Message)" }
    }
    if ($Thumbprint -and (Test-Path "Cert:\CurrentUser\My\$Thumbprint")) {
        try { $null = Run $Tool @('--ncrypt', 'unlink-cert', $KeyName, $Thumbprint) }
        catch { Write-Host "cleanup: $($_.Exception.Message)" }
    }
    if ($KeyMade) {
        try { $null = Run $Service @('delete', $KeyName) }
        catch { Write-Host "cleanup: $($_.Exception.Message)" }
    }
    Remove-Item -LiteralPath $Work -Recurse -Force -ErrorAction SilentlyContinue
}

Write-Host "$script:Passed passed, $script:Failed failed"
if ($script:Failed -eq 0) { exit 0 }
exit 1
