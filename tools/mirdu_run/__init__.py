"""mirdu-run: runs a Windows client program under Wine with mirdu.dll, unattended, and keeps
its console log and its capture files. tools/mirdu-run is the command; the release ships the
package as one executable zip."""
