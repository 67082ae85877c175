#pragma once
// The German messages of the setup's failures, as its error box shows them. Every
// place that raises one, and the release tool that explains them in English, names
// the text here, so a reworded message is reworded everywhere at once.

inline constexpr char WindowNotCreatedMessage[] = "Setup-Fenster konnte nicht erstellt werden";
inline constexpr char CancelledMessage[] = "Abgebrochen";
inline constexpr char LaunchRefusedMessage[] = "Hauptinstaller konnte nicht gestartet werden";

// Manifest policy, one message per check.
inline constexpr char ForeignSourceMessage[] = "Manifest verweist nicht auf eine erlaubte HTTPS-Quelle";
inline constexpr char ForeignInstallerMessage[] = "Manifest verweist nicht auf einen erlaubten Kestrova-Installer";
inline constexpr char BadDigestMessage[] = "Manifest enthaelt keinen gueltigen SHA-256";
inline constexpr char ImplausibleSizeMessage[] = "Manifest-Groesse ist unplausibel";

// HTTPS requests and response bodies.
inline constexpr char UrlUnreadableMessage[] = "URL konnte nicht gelesen werden";
inline constexpr char HttpsOnlyMessage[] = "Nur HTTPS-Downloads sind erlaubt";
inline constexpr char SessionFailedMessage[] = "WinHTTP konnte nicht gestartet werden";
inline constexpr char ConnectionFailedMessage[] = "Verbindung konnte nicht erstellt werden";
inline constexpr char RequestFailedMessage[] = "HTTP-Request konnte nicht erstellt werden";
inline constexpr char SendFailedMessage[] = "Download-Request konnte nicht gesendet werden";
inline constexpr char NoResponseMessage[] = "Download-Antwort konnte nicht gelesen werden";
inline constexpr char NoStatusMessage[] = "HTTP-Status konnte nicht gelesen werden";
// Followed by the status code, as in "Download-Server meldet HTTP 404".
inline constexpr char HttpStatusMessagePrefix[] = "Download-Server meldet HTTP ";
inline constexpr char BodyUnreadableMessage[] = "Download konnte nicht gelesen werden";
inline constexpr char BlockUnreadableMessage[] = "Download-Block konnte nicht gelesen werden";

// Cache refresh and verification.
inline constexpr char PartNotWrittenMessage[] = "Download konnte nicht gespeichert werden";
inline constexpr char TargetNotWrittenMessage[] = "Zieldatei konnte nicht geschrieben werden";
inline constexpr char MoveFailedMessage[] = "Download konnte nicht finalisiert werden";
inline constexpr char VerificationFailedMessage[] = "Sicherheitspruefung fehlgeschlagen: Hash oder Groesse passt nicht";
inline constexpr char HashProviderMessage[] = "SHA-256 konnte nicht gestartet werden";
inline constexpr char HashObjectSizeMessage[] = "SHA-256 Objektgroesse konnte nicht gelesen werden";
inline constexpr char HashCreateMessage[] = "SHA-256 Hash konnte nicht erstellt werden";
inline constexpr char InstallerUnreadableMessage[] = "Installer-Datei konnte nicht geoeffnet werden";
inline constexpr char HashDataMessage[] = "SHA-256 Hashing fehlgeschlagen";
inline constexpr char HashFinishMessage[] = "SHA-256 Abschluss fehlgeschlagen";
